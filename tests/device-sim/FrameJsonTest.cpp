#include "FrameJson.h"
#include "session/PeerMessage.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

#include <limits>

// One row per way a frame is described in the record (device-sim's record lines are read back by the
// integration tests, which show that the recorder writes one line per frame): the line must hold every
// key of `expected` with its value (a key given as null must be absent; an "error" is matched by a part of
// its text), its "size" must be the payload's, and the line must be valid JSON whatever the values.
TEST(FrameJson, DescribesEachKindOfFrameForTheRecord) {
    const QVariantMap event{{"eventName", "CursorPosChanged"},
                            {"x", 0.25},
                            {"count", qlonglong(1) << 40},
                            {"cursorData", QByteArray(1000, 'c')},
                            {"tiny", QByteArray("\x01\x02", 2)},
                            {"odd", std::numeric_limits<double>::quiet_NaN()},
                            {"far", -std::numeric_limits<double>::infinity()},
                            {"flags", QVariantList{true, QStringLiteral("s")}}};
    const struct {
        uint32_t type, tag;
        QByteArray payload;
        const char* expected;
    } rows[] = {
        {101, 0, PeerMessage::encodeText(QStringLiteral("size:1x2 \u00e9")),
         R"({"type": 101, "tag": 0, "text": "size:1x2 é", "error": null, "hex": null})"},
        {101, 0, QByteArray("\x00\x00\x00\x09waitASec", 12),
         R"({"text": null, "error": "length 9 does not match its 8 bytes", "hex": "000000097761697441536563"})"},
        {101, 0, QByteArray("\x00\x00\x00\x02\xc3\x28", 6), R"({"error": "text is not valid UTF-8"})"},
        {104, 0, PeerMessage::encodeDictionary(event),
         R"({"error": null, "plist": {"eventName": "CursorPosChanged", "x": 0.25, "count": 1099511627776,
             "cursorData": {"data": 1000}, "tiny": {"data": 2, "hex": "0102"}, "odd": "nan", "far": "-inf",
             "flags": [true, "s"]}})"},
        {100, 0, QByteArray("bplist00garbage"),
         R"({"plist": null, "error": "", "hex": "62706c697374303067617262616765"})"},
        {108, 0, QByteArray(3, '\1'), R"({"hex": null, "error": null})"},
        {105, 0xFFFFFFFF, QByteArray("\x00\xff", 2), R"({"hex": "00ff", "tag": 4294967295})"},
        {105, 0, QByteArray(65, 'x'), R"({"hex": null})"},
        {102, 3, {}, R"({"hex": null, "tag": 3})"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        const QJsonObject got = FrameJson::describeFrame(row.type, row.tag, row.payload);
        const QJsonObject expected = QJsonDocument::fromJson(row.expected).object();
        ASSERT_FALSE(expected.isEmpty());
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            const QJsonValue value = got.value(it.key());
            SCOPED_TRACE(it.key().toStdString());
            if (it->isNull()) {
                EXPECT_TRUE(value.isUndefined());
            } else if (it.key() == u"error") {
                EXPECT_TRUE(value.toString().contains(it->toString())) << value.toString().toStdString();
            } else {
                EXPECT_EQ(value, *it);
            }
        }
        EXPECT_EQ(got.value("size").toInteger(), row.payload.size());
        EXPECT_EQ(QJsonDocument::fromJson(FrameJson::line(got)).object(), got);
    }
}
