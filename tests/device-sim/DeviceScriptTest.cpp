#include "DeviceScript.h"
#include "base/PropertyList.h"
#include "session/PeerMessage.h"

#include <gtest/gtest.h>

namespace {

std::vector<ScriptCommand> parseOk(const QString& text) {
    OptError error;
    auto commands = DeviceScript::parse(text, &error);
    EXPECT_FALSE(error) << error->toString().toStdString();
    return commands;
}

QString parseFailure(const QString& text) {
    OptError error;
    const auto commands = DeviceScript::parse(text, &error);
    EXPECT_TRUE(commands.empty());
    return error ? error->description : QString();
}

QVariantMap dictionaryOf(const ScriptCommand& command) {
    OptError error;
    const QVariantMap map = PropertyList::parseDictionary(command.payload, &error);
    EXPECT_FALSE(error) << command.source.toStdString();
    EXPECT_TRUE(command.payload.startsWith("bplist00")) << "dictionaries travel as binary property lists";
    return map;
}

} // namespace

TEST(DeviceScript, ReadsEachCommandIntoTheFrameItSends) {
    const auto commands = parseOk(QStringLiteral(
        "# the app introduces itself\n"
        "intro protocolVersion=1.0.9 softwareString=\"Zub App\" softwareVersion=2.0\n"
        "\n"
        "send-text  size: 1024x768 \r\n"
        "send-event SingleTap x=0.5 y=1 flag=true name=\"a b\" blob=<00ff> list=[1, 2.5, \"x\"]\n"
        "ping tag=7\n"
        "send-frame 105 tag=0x10 hex=00ff\n"
        "send-raw 0000 0002\n"
        "expect-frame 107\n"
        "disconnect\n"));
    ASSERT_EQ(commands.size(), 8u);

    // Introduction fields are texts even when they look like numbers.
    const QVariantMap intro = dictionaryOf(commands[0]);
    EXPECT_EQ(commands[0].type, 100u);
    EXPECT_EQ(commands[0].line, 2);
    EXPECT_EQ(intro.value("softwareVersion"), QVariant(QStringLiteral("2.0")));
    EXPECT_EQ(intro.value("softwareString"), QVariant(QStringLiteral("Zub App")));

    // The text keeps its own blanks; only the separator and the line end go.
    EXPECT_EQ(commands[1].payload, PeerMessage::encodeText(QStringLiteral("size: 1024x768 ")));

    const QVariantMap tap = dictionaryOf(commands[2]);
    EXPECT_EQ(tap.value("eventName"), QVariant(QStringLiteral("SingleTap")));
    EXPECT_EQ(tap.value("x").typeId(), QMetaType::Double);
    EXPECT_EQ(tap.value("y").typeId(), QMetaType::LongLong);
    EXPECT_EQ(tap.value("flag"), QVariant(true));
    EXPECT_EQ(tap.value("name"), QVariant(QStringLiteral("a b")));
    EXPECT_EQ(tap.value("blob"), QVariant(QByteArray("\x00\xff", 2)));
    EXPECT_EQ(tap.value("list"), QVariant(QVariantList{qlonglong(1), 2.5, QStringLiteral("x")}));

    EXPECT_EQ(commands[3].tag, 7u);
    EXPECT_EQ(commands[4].tag, 16u);
    EXPECT_EQ(commands[4].payload, QByteArray("\x00\xff", 2));
    EXPECT_EQ(commands[5].kind, ScriptCommand::SendRaw);
    EXPECT_EQ(commands[5].payload, QByteArray("\x00\x00\x00\x02", 4));
    EXPECT_EQ(commands[7].kind, ScriptCommand::Disconnect);
    EXPECT_EQ(commands[7].line, 10);
}

TEST(DeviceScript, WrongTypesCanBeWrittenOnPurpose) {
    const auto commands = parseOk(
        QStringLiteral("intro protocolVersion:int=5 supportApplePencil:bool=1 hardwareString:data=<ff>\n"
                       "send-event SingleTap x=\"0.5\" y:string=0.5 eventName=7\n"
                       "send-event Zoomed zoom:real=2 scale:json={\"a\": [1, {\"b\": false}]}\n"));
    const QVariantMap intro = dictionaryOf(commands[0]);
    EXPECT_EQ(intro.value("protocolVersion"), QVariant(qlonglong(5)));
    EXPECT_EQ(intro.value("supportApplePencil"), QVariant(true));
    EXPECT_EQ(intro.value("hardwareString"), QVariant(QByteArray("\xff", 1)));
    const QVariantMap tap = dictionaryOf(commands[1]);
    EXPECT_EQ(tap.value("x"), QVariant(QStringLiteral("0.5")));
    EXPECT_EQ(tap.value("y"), QVariant(QStringLiteral("0.5")));
    EXPECT_EQ(tap.value("eventName"), QVariant(qlonglong(7))) << "an explicit eventName replaces the name";
    const QVariantMap zoom = dictionaryOf(commands[2]);
    EXPECT_EQ(zoom.value("zoom").typeId(), QMetaType::Double);
    EXPECT_EQ(zoom.value("scale").toMap().value("a").toList().value(1).toMap().value("b"), QVariant(false));
}

TEST(DeviceScript, ReportsTheLineAndTheReasonOfABadScript) {
    const struct {
        const char* script;
        const char* expected;
    } cases[] = {
        {"intro\nfrobnicate 1\n", "line 2: unknown command 'frobnicate'"},
        {"send-event SingleTap x=\"0.5\n", "line 1: unterminated quote"},
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
        const QString failure = parseFailure(QString::fromUtf8(c.script));
        EXPECT_TRUE(failure.startsWith(QString::fromUtf8(c.expected)))
            << c.script << " gave: " << failure.toStdString();
    }
}

TEST(DeviceScript, TokensKeepBlanksInsideQuotesAndBrackets) {
    OptError error;
    EXPECT_EQ(
        DeviceScript::tokenize(QStringLiteral("  a=\"x \\\" y\"  b={\"k\": [1, \"] }\"]}  c  "), &error),
        (QStringList{"a=\"x \\\" y\"", "b={\"k\": [1, \"] }\"]}", "c"}));
    EXPECT_FALSE(error);
    // Brackets inside a word are text; only a value may open a group.
    EXPECT_EQ(DeviceScript::tokenize(QStringLiteral("iPad[8 x] y"), &error),
              (QStringList{"iPad[8", "x]", "y"}));
    EXPECT_FALSE(error);
    EXPECT_EQ(DeviceScript::parseValue(QStringLiteral("\"a\\tb\\\\\""), &error),
              QVariant(QStringLiteral("a\tb\\")));
    EXPECT_TRUE(DeviceScript::parseValue(QStringLiteral("\"a\"b"), &error).isNull());
    EXPECT_TRUE(error);
    EXPECT_EQ(DeviceScript::parseValue(QStringLiteral("-1e3"), &error), QVariant(-1000.0));
    EXPECT_EQ(DeviceScript::parseValue(QStringLiteral("1.0.9"), &error), QVariant(QStringLiteral("1.0.9")));
    EXPECT_TRUE(std::isnan(DeviceScript::parseValue(QStringLiteral("nan"), &error).toDouble()));
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
