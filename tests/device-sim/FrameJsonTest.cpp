#include "FrameJson.h"
#include "FrameRecorder.h"
#include "base/PropertyList.h"
#include "session/PeerMessage.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(FrameJson, TextsAreShownWithTheirFaults) {
    const QJsonObject text =
        FrameJson::describeFrame(101, 0, PeerMessage::encodeText(QStringLiteral("size:1x2 \u00e9")));
    EXPECT_EQ(text.value("text").toString(), QStringLiteral("size:1x2 \u00e9"));
    EXPECT_EQ(text.value("size").toInt(), 15);
    EXPECT_FALSE(text.contains("error"));
    // A length that claims more than follows, and bytes that are not UTF-8 (a bad byte, a cut sequence).
    const QJsonObject lying = FrameJson::describeFrame(101, 0, QByteArray("\x00\x00\x00\x09waitASec", 12));
    EXPECT_FALSE(lying.contains("text"));
    EXPECT_TRUE(lying.value("error").toString().contains("does not match"))
        << lying.value("error").toString().toStdString();
    EXPECT_EQ(lying.value("hex").toString(), QStringLiteral("0000000977616974415365"
                                                            "63"));
    for (const QByteArray& bad :
         {QByteArray("\x00\x00\x00\x02\xc3\x28", 6), QByteArray("\x00\x00\x00\x02x\xf4", 6)}) {
        const QJsonObject described = FrameJson::describeFrame(101, 0, bad);
        EXPECT_EQ(described.value("error").toString(), QStringLiteral("text is not valid UTF-8"))
            << bad.toHex().toStdString();
    }
}

TEST(FrameJson, DescribesEachKindOfFrameForTheRecord) {
    const QVariantMap event{{"eventName", "CursorPosChanged"},
                            {"x", 0.25},
                            {"count", qlonglong(1) << 40},
                            {"cursorData", QByteArray(1000, 'c')},
                            {"tiny", QByteArray("\x01\x02", 2)},
                            {"odd", std::numeric_limits<double>::quiet_NaN()},
                            {"far", -std::numeric_limits<double>::infinity()},
                            {"flags", QVariantList{true, QStringLiteral("s")}}};
    const QJsonObject described = FrameJson::describeFrame(104, 0, PeerMessage::encodeDictionary(event));
    const QJsonObject plist = described.value("plist").toObject();
    EXPECT_EQ(plist.value("eventName").toString(), QStringLiteral("CursorPosChanged"));
    EXPECT_EQ(plist.value("x").toDouble(), 0.25);
    EXPECT_EQ(plist.value("count").toInteger(), qint64(1) << 40);
    EXPECT_EQ(plist.value("cursorData").toObject(), (QJsonObject{{"data", 1000}}))
        << "large data only by size";
    EXPECT_EQ(plist.value("tiny").toObject(), (QJsonObject{{"data", 2}, {"hex", "0102"}}));
    EXPECT_EQ(plist.value("odd").toString(), QStringLiteral("nan"));
    EXPECT_EQ(plist.value("far").toString(), QStringLiteral("-inf"));
    EXPECT_EQ(plist.value("flags").toArray(), (QJsonArray{true, "s"}));
    // Whatever the values, the record line is valid JSON.
    EXPECT_FALSE(QJsonDocument::fromJson(FrameJson::line(described)).isNull());

    const QJsonObject broken = FrameJson::describeFrame(100, 0, QByteArray("bplist00garbage"));
    EXPECT_FALSE(broken.contains("plist"));
    EXPECT_TRUE(broken.contains("error"));
    EXPECT_EQ(broken.value("hex").toString(), QString::fromLatin1(QByteArray("bplist00garbage").toHex()));
    const QJsonObject notADictionary = FrameJson::describeFrame(
        104, 0, PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Binary));
    EXPECT_TRUE(notADictionary.contains("error"));
    EXPECT_FALSE(notADictionary.contains("plist"));

    const QJsonObject video = FrameJson::describeFrame(107, 100, QByteArray(5000, '\1'));
    EXPECT_EQ(video.keys(), (QStringList{"size", "tag", "type"}));
    EXPECT_EQ(video.value("tag").toInt(), 100);
    const QJsonObject jpegTiny = FrameJson::describeFrame(108, 0, QByteArray(3, '\1'));
    EXPECT_FALSE(jpegTiny.contains("hex")) << "video frames are shown by size alone";

    EXPECT_EQ(FrameJson::describeFrame(105, 0xFFFFFFFF, QByteArray("\x00\xff", 2)).value("hex").toString(),
              "00ff");
    EXPECT_EQ(FrameJson::describeFrame(105, 0xFFFFFFFF, {}).value("tag").toInteger(), 0xFFFFFFFFll);
    EXPECT_FALSE(FrameJson::describeFrame(105, 0, QByteArray(65, 'x')).contains("hex"));
    EXPECT_EQ(FrameJson::describeFrame(102, 3, {}).value("size").toInt(), 0);
}

TEST(FrameRecorder, WritesOneFlushedJsonLinePerFrameWithItsDirection) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    FrameRecorder recorder(&buffer);
    recorder.record(FrameRecorder::Received, 101, 0, PeerMessage::encodeText(QStringLiteral("line\nbreak")));
    recorder.record(FrameRecorder::Sent, 102, 9, {});
    const QList<QByteArray> lines = buffer.data().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[2].isEmpty());
    const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
    EXPECT_EQ(first.value("dir").toString(), QStringLiteral("in"));
    EXPECT_EQ(first.value("text").toString(), QStringLiteral("line\nbreak"))
        << "a newline in a text stays inside its line";
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    EXPECT_EQ(second.value("dir").toString(), QStringLiteral("out"));
    EXPECT_EQ(second.value("tag").toInt(), 9);
}
