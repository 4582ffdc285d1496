#include "DeviceScript.h"
#include "base/PropertyList.h"
#include "session/PeerMessage.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

std::vector<ScriptCommand> parseOk(const QString& text) {
    OptError error;
    auto commands = DeviceScript::parse(text, &error);
    EXPECT_FALSE(error) << error->toString().toStdString();
    return commands;
}

QVariantMap dictionaryOf(const ScriptCommand& command) {
    EXPECT_TRUE(command.payload.startsWith("bplist00")) << "dictionaries travel as binary property lists";
    return PropertyList::parseDictionary(command.payload);
}

} // namespace

// Introduction fields are texts even when they look like numbers, and brackets inside a word are text; a
// text keeps its own blanks (only the separator and the line end go); tags and frame types may be hex.
// (Most commands are driven by the scripts of tests/integration.)
TEST(DeviceScript, ReadsEachCommandIntoTheFrameItSends) {
    const struct {
        const char* line;
        uint32_t type, tag;
        QByteArray payload;
    } rows[] = {
        {"intro softwareVersion=2.0 hardwareString=iPad[8", 100, 0,
         PropertyList::serialize(QVariantMap{{"softwareVersion", "2.0"}, {"hardwareString", "iPad[8"}},
                                 PropertyList::Format::Binary)},
        {"send-text  size: 1024x768 \r", 101, 0, PeerMessage::encodeText(QStringLiteral("size: 1024x768 "))},
        {"ping tag=7", 102, 7, {}},
        {"send-frame 0x69 tag=0x10 hex=00ff", 105, 16, QByteArray("\x00\xff", 2)},
    };
    for (const auto& row : rows) {
        const auto commands = parseOk(QStringLiteral("# a comment\n\n") + QString::fromUtf8(row.line));
        ASSERT_EQ(commands.size(), 1u) << row.line;
        EXPECT_EQ(commands[0].line, 3) << row.line;
        EXPECT_EQ(commands[0].type, row.type) << row.line;
        EXPECT_EQ(commands[0].tag, row.tag) << row.line;
        EXPECT_EQ(commands[0].payload, row.payload) << row.line;
    }
}

// What `key=value` and `key:type=value` put into an event: the value's own type by its form, or the type
// written, so that wrong types can be sent on purpose.
TEST(DeviceScript, EventValuesTakeTheirTypeFromTheirFormOrTheTypeWritten) {
    const struct {
        const char* argument;
        QVariant value;
    } rows[] = {
        {"v=0.5", 0.5},
        {"v=1", qlonglong(1)},
        {"v=-1e3", -1000.0},
        {"v=1.0.9", "1.0.9"},
        {"v=true", true},
        {"v=\"a b\"", "a b"},
        {"v=\"a\\tb\\\\\\\"\"", "a\tb\\\""},
        {"v=<00ff>", QByteArray("\x00\xff", 2)},
        {"v=[1, 2.5, \"x\"]", QVariantList{qlonglong(1), 2.5, "x"}},
        {"v={\"k\": [1, \"] }\"]}", QVariantMap{{"k", QVariantList{qlonglong(1), "] }"}}}},
        {"v=\"0.5\"", "0.5"},
        {"v:string=0.5", "0.5"},
        {"v:real=2", 2.0},
        {"v:int=5", qlonglong(5)},
        {"v:bool=1", true},
        {"v:data=<ff>", QByteArray("\xff", 1)},
        {"v:json={\"a\": [1, {\"b\": false}]}",
         QVariantMap{{"a", QVariantList{qlonglong(1), QVariantMap{{"b", false}}}}}},
        {"eventName=7", QVariant()}, // an explicit eventName replaces the name
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.argument);
        const auto commands =
            parseOk(QStringLiteral("send-event SingleTap ") + QString::fromUtf8(row.argument));
        ASSERT_EQ(commands.size(), 1u);
        const QVariantMap event = dictionaryOf(commands[0]);
        if (!row.value.isValid()) {
            EXPECT_EQ(event, (QVariantMap{{"eventName", qlonglong(7)}}));
            continue;
        }
        EXPECT_EQ(event.value("eventName"), QVariant(QStringLiteral("SingleTap")));
        EXPECT_EQ(event.value("v"), row.value);
        EXPECT_EQ(event.value("v").typeId(), row.value.typeId());
    }
    OptError error;
    EXPECT_TRUE(std::isnan(DeviceScript::parseValue(QStringLiteral("nan"), &error).toDouble()));
}

TEST(DeviceScript, ReportsTheLineAndTheReasonOfABadScript) {
    const struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {"intro\nfrobnicate 1\n", "line 2: unknown command 'frobnicate'"},
        {"send-event SingleTap x=\"0.5\n", "line 1: unterminated quote"},
        {"send-event SingleTap x=\"a\"b\n", "line 1: "},
        {"send-event SingleTap list=[1, 2\n", "line 1: missing ']'"},
        {"send-event SingleTap list=[1, 2}\n", "line 1: unbalanced '}'"},
        {"send-event SingleTap data=<0f0>\n", "line 1: bad hex data <0f0>"},
        {"send-event SingleTap n=99999999999999999999\n", "line 1: integer out of range"},
        {"send-event SingleTap v:json=[null]\n", "line 1: null has no property-list form"},
        {"send-event SingleTap v:quux=1\n", "line 1: unknown type 'quux'"},
        {"send-event SingleTap v:int=1.5\n", "line 1: '1.5' is not of type int"},
        {"send-event SingleTap bare\n", "line 1: expected key=value, got 'bare'"},
        {"send-frame 4294967296\n", "line 1: bad frame type '4294967296'"},
        {"send-frame 105 hex=abc\n", "line 1: bad hex 'abc'"},
        {"send-frame 105 size=3\n", "line 1: unexpected argument 'size=3'"},
        {"send-raw 0g\n", "line 1: send-raw needs hex bytes"},
        {"sleep -5\n", "line 1: bad milliseconds '-5'"},
        {"timeout 99999999\n", "line 1: bad milliseconds"},
        {"expect-text size:(\n", "line 1: bad pattern 'size:('"},
        {"disconnect\n# fine\nping\n", "line 3: nothing may follow disconnect"},
    };
    for (const auto& c : cases) {
        OptError error;
        EXPECT_TRUE(DeviceScript::parse(QString::fromUtf8(c.script), &error).empty()) << c.script;
        const QString failure = error ? error->description : QString();
        EXPECT_TRUE(failure.startsWith(QString::fromUtf8(c.expected)))
            << c.script << " gave: " << failure.toStdString();
    }
}

TEST(DeviceScript, ExpectationsMatchOnlyWhatTheyName) {
    const auto commands = parseOk(QStringLiteral("expect-text size:\\d+x\\d+\n"
                                                 "expect-event Cursor(Pos|Shown).* x=1 hidden=false\n"
                                                 "expect-frame 107\n"));
    const ScriptCommand& text = commands[0];
    EXPECT_TRUE(text.matches(101, PeerMessage::encodeText(QStringLiteral("size:1024x768"))));
    // The whole text must match, not a part of it.
    EXPECT_FALSE(text.matches(101, PeerMessage::encodeText(QStringLiteral("size:1024x768 extra"))));
    EXPECT_FALSE(text.matches(104, PeerMessage::encodeText(QStringLiteral("size:1024x768"))));
    QByteArray lying = PeerMessage::encodeText(QStringLiteral("size:1x1"));
    lying[3] = 9; // the length claims more than follows
    EXPECT_FALSE(text.matches(101, lying));

    const ScriptCommand& event = commands[1];
    const QVariantMap good{{"eventName", "CursorPosChanged"}, {"x", 1.0}, {"hidden", false}, {"y", 0.2}};
    auto with = [&](const QString& key, const QVariant& value) {
        QVariantMap changed = good;
        value.isValid() ? void(changed[key] = value) : void(changed.remove(key));
        return PeerMessage::encodeDictionary(changed);
    };
    EXPECT_TRUE(event.matches(104, with("y", 0.3)));
    EXPECT_TRUE(event.matches(104, with("x", qlonglong(1)))) << "a number matches a number of another width";
    EXPECT_FALSE(event.matches(104, with("x", QStringLiteral("1"))));
    EXPECT_FALSE(event.matches(104, with("hidden", QVariant())));
    EXPECT_FALSE(event.matches(104, with("eventName", QStringLiteral("XCursorPosChanged"))));
    EXPECT_FALSE(event.matches(104, with("eventName", 5)));
    EXPECT_FALSE(event.matches(104, QByteArray("not a plist")));
    EXPECT_FALSE(event.matches(100, with("y", 0.3)));
    EXPECT_TRUE(commands[2].matches(107, QByteArray()));
    EXPECT_FALSE(commands[2].matches(108, QByteArray()));
}
