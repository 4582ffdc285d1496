#include "PeerFrames.h"
#include "FrameRecorder.h"
#include "base/PropertyList.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(PeerFrames, TextMessagesCarryABigEndianLengthAndUtf8) {
    EXPECT_EQ(PeerFrames::encodeText(QStringLiteral("waitASec")), QByteArray("\x00\x00\x00\x08waitASec", 12));
    EXPECT_EQ(PeerFrames::encodeText(QString()), QByteArray(4, '\0'));
    const QString accented = QStringLiteral("é✓ size:1x1");
    const QByteArray encoded = PeerFrames::encodeText(accented);
    EXPECT_EQ(encoded.size(), 4 + accented.toUtf8().size()) << "the length counts bytes, not characters";
    OptError error;
    EXPECT_EQ(PeerFrames::decodeText(encoded, &error), accented);
    EXPECT_FALSE(error);
    // 300 bytes: the length needs more than its lowest byte.
    const QString longText(300, u'x');
    EXPECT_EQ(PeerFrames::encodeText(longText).left(4), QByteArray("\x00\x00\x01\x2c", 4));
    EXPECT_EQ(PeerFrames::decodeText(PeerFrames::encodeText(longText), &error), longText);
}

TEST(PeerFrames, MalformedTextIsAnErrorNotATruncatedMessage) {
    OptError error;
    for (const QByteArray& shortPayload : {QByteArray(), QByteArray("\x00\x00\x01", 3)}) {
        PeerFrames::decodeText(shortPayload, &error);
        ASSERT_TRUE(error);
        EXPECT_TRUE(error->description.contains("no 4-byte length")) << error->description.toStdString();
    }
    // Claims more than follows, claims less than follows, claims 4 GB.
    const QByteArray more("\x00\x00\x00\x09waitASec", 12);
    EXPECT_EQ(PeerFrames::decodeText(more, &error), QStringLiteral("waitASec"));
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description.contains("length 9 does not match the 8 bytes"))
        << error->description.toStdString();
    EXPECT_EQ(PeerFrames::decodeText(QByteArray("\x00\x00\x00\x04waitASec", 12), &error),
              QStringLiteral("wait"));
    EXPECT_TRUE(error);
    PeerFrames::decodeText(QByteArray("\xff\xff\xff\xffwaitASec", 12), &error);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->description.contains("4294967295"));
    // A bad byte inside, and a sequence cut off at the end.
    for (const QByteArray& bad :
         {QByteArray("\x00\x00\x00\x02\xc3\x28", 6), QByteArray("\x00\x00\x00\x02x\xf4", 6)}) {
        PeerFrames::decodeText(bad, &error);
        ASSERT_TRUE(error) << bad.toHex().toStdString();
        EXPECT_EQ(error->description, QStringLiteral("text is not valid UTF-8"));
    }
}

TEST(PeerFrames, DescribesEachKindOfFrameForTheRecord) {
    const QJsonObject text =
        PeerFrames::describeFrame(101, 0, PeerFrames::encodeText(QStringLiteral("size:1x2")));
    EXPECT_EQ(text.value("type").toInt(), 101);
    EXPECT_EQ(text.value("size").toInt(), 12);
    EXPECT_EQ(text.value("text").toString(), QStringLiteral("size:1x2"));
    EXPECT_FALSE(text.contains("error"));

    const QVariantMap event{{"eventName", "CursorPosChanged"},
                            {"x", 0.25},
                            {"count", qlonglong(1) << 40},
                            {"cursorData", QByteArray(1000, 'c')},
                            {"tiny", QByteArray("\x01\x02", 2)},
                            {"odd", std::numeric_limits<double>::quiet_NaN()},
                            {"far", -std::numeric_limits<double>::infinity()},
                            {"flags", QVariantList{true, QStringLiteral("s")}}};
    const QJsonObject described = PeerFrames::describeFrame(104, 0, PeerFrames::encodeDictionary(event));
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
    EXPECT_FALSE(QJsonDocument::fromJson(PeerFrames::jsonLine(described)).isNull());

    const QJsonObject broken = PeerFrames::describeFrame(100, 0, QByteArray("bplist00garbage"));
    EXPECT_FALSE(broken.contains("plist"));
    EXPECT_TRUE(broken.contains("error"));
    EXPECT_EQ(broken.value("hex").toString(), QString::fromLatin1(QByteArray("bplist00garbage").toHex()));
    const QJsonObject notADictionary = PeerFrames::describeFrame(
        104, 0, PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Binary));
    EXPECT_TRUE(notADictionary.contains("error"));
    EXPECT_FALSE(notADictionary.contains("plist"));

    const QJsonObject video = PeerFrames::describeFrame(107, 100, QByteArray(5000, '\1'));
    EXPECT_EQ(video.keys(), (QStringList{"size", "tag", "type"}));
    EXPECT_EQ(video.value("tag").toInt(), 100);
    const QJsonObject jpegTiny = PeerFrames::describeFrame(108, 0, QByteArray(3, '\1'));
    EXPECT_FALSE(jpegTiny.contains("hex")) << "video frames are shown by size alone";

    EXPECT_EQ(PeerFrames::describeFrame(105, 0xFFFFFFFF, QByteArray("\x00\xff", 2)).value("hex").toString(),
              "00ff");
    EXPECT_EQ(PeerFrames::describeFrame(105, 0xFFFFFFFF, {}).value("tag").toInteger(), 0xFFFFFFFFll);
    EXPECT_FALSE(PeerFrames::describeFrame(105, 0, QByteArray(65, 'x')).contains("hex"));
    EXPECT_EQ(PeerFrames::describeFrame(102, 3, {}).value("size").toInt(), 0);
}

TEST(FrameRecorder, WritesOneFlushedJsonLinePerFrameWithItsDirection) {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    FrameRecorder recorder(&buffer);
    recorder.record(FrameRecorder::Received, 101, 0, PeerFrames::encodeText(QStringLiteral("line\nbreak")));
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
