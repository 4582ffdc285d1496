// device-sim as a program, reached directly over loopback TCP.
#include "LinkRoad.h"
#include "fakes/TestSupport.h"
#include "session/PeerMessage.h"

#include <QBuffer>
#include <QImage>
#include <QtEndian>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

std::shared_ptr<PTChannel> connectTo(uint16_t port, FrameCollector* collector) {
    auto channel = PTChannel::channelWithDelegate(collector);
    bool done = false;
    OptError error;
    channel->connectToPort(port, INADDR_LOOPBACK, [&](const OptError& e, const PTAddress&) {
        done = true;
        error = e;
    });
    EXPECT_TRUE(waitUntil([&] { return done; }));
    EXPECT_FALSE(error) << error->toString().toStdString();
    return channel;
}

// A JPEG video frame's payload built by hand as the agent's output path writes it: little-endian length
// and 1, then the picture as one 0x21 unit.
QByteArray jpegVideoPayload(const QByteArray& jpeg) {
    QByteArray payload(8, 0);
    qToLittleEndian<quint32>(quint32(jpeg.size() + 5), payload.data());
    qToLittleEndian<quint32>(1, payload.data() + 4);
    return payload + QByteArray("\0\0\0\1\x21", 5) + jpeg;
}

QByteArray jpegOf(QColor color) {
    QImage image(80, 60, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "JPEG", 90));
    return bytes;
}

} // namespace

TEST(DeviceSim, WithOnceItsExitCodeSaysWhetherTheScriptRanThrough) {
    {
        DeviceSimProcess device(QStringLiteral("timeout 200\nping\nexpect-text never\nping\n"), {"--once"});
        ASSERT_TRUE(device.listening());
        FrameCollector collector;
        auto channel = connectTo(device.port(), &collector);
        const QString failed = device.process().waitForLine(QRegularExpression("\"script-failed\""));
        EXPECT_TRUE(failed.contains("line 3 (expect-text never): nothing matched within 200 ms"))
            << failed.toStdString();
        channel->close();
        EXPECT_EQ(device.process().waitForExit(), 1);
        EXPECT_EQ(collector.frames.size(), 1u) << "nothing after the failed line was sent";
    }
    {
        DeviceSimProcess device(QStringLiteral("send-text bye\ndisconnect\n"), {"--once"});
        ASSERT_TRUE(device.listening());
        FrameCollector collector;
        auto channel = connectTo(device.port(), &collector);
        ASSERT_TRUE(waitUntil([&] { return collector.ends > 0; }));
        EXPECT_FALSE(collector.endError) << "the device hung up cleanly, after its last frame";
        EXPECT_TRUE(collector.find(PeerMessage::kFrameTypeTextMessage, QStringLiteral("bye")));
        EXPECT_EQ(device.process().waitForExit(), 0);
    }
}

TEST(DeviceSim, RawBytesReachThePeerAsTheyStand) {
    // A header of version 2 right after a good frame: the peer's channel must end with a protocol error.
    DeviceSimProcess device(QStringLiteral("send-frame 105 tag=9 hex=abcd\n"
                                           "send-raw 00000002 00000065 00000000 00000000\n"));
    ASSERT_TRUE(device.listening());
    FrameCollector collector;
    auto channel = connectTo(device.port(), &collector);
    ASSERT_TRUE(waitUntil([&] { return collector.ends > 0; }));
    ASSERT_EQ(collector.frames.size(), 1u);
    EXPECT_EQ(collector.frames[0].type, 105u);
    EXPECT_EQ(collector.frames[0].tag, 9u);
    EXPECT_EQ(collector.frames[0].payload, QByteArray("\xab\xcd", 2));
    ASSERT_TRUE(collector.endError);
    EXPECT_EQ(collector.endError->domain, kPTProtocolErrorDomain);
}

TEST(DeviceSim, ABadScriptIsRefusedWithItsLineBeforeListening) {
    ChildProcess process(QStringLiteral("device-sim"), {"--script", "-"});
    ASSERT_TRUE(process.started());
    process.writeLine(QStringLiteral("intro\nsend-event Tap x=<0>"));
    process.closeInput();
    EXPECT_EQ(process.waitForExit(), 2);
    EXPECT_TRUE(process.transcript().contains("line 2: bad hex data <0>"))
        << process.transcript().toStdString();
    EXPECT_FALSE(process.transcript().contains("listening"));
}

TEST(DeviceSim, ControlLinesRunOnTheOpenConnectionBesideItsScript) {
    DeviceSimProcess device(QStringLiteral("intro protocolVersion=1.0.9\nexpect-text never-sent\n"),
                            {"--control", "-"});
    ASSERT_TRUE(device.listening());
    device.process().writeLine("ping");
    EXPECT_TRUE(
        device.process().waitForLine(QRegularExpression("\"control-failed\"")).contains("no connection"));

    FrameCollector collector;
    auto channel = connectTo(device.port(), &collector);
    ASSERT_TRUE(collector.waitFor(PeerMessage::kFrameTypeDeviceInfo));
    device.process().writeLine("send-event Zoomed zoom:string=2 scale=1.5");
    device.process().writeLine("not-a-command");
    EXPECT_TRUE(
        device.process().waitForLine(QRegularExpression("\"control-failed\"")).contains("not-a-command"));
    device.process().writeLine("send-frame 105 hex=00ff");
    ASSERT_TRUE(collector.waitFor(105));
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("\"control-finished\"")).isNull());
    ASSERT_TRUE(collector.find(PeerMessage::kFrameTypeEvent, QStringLiteral("Zoomed")));
    const QVariantMap zoom =
        *PeerMessage::decodeDictionary(collector.find(PeerMessage::kFrameTypeEvent)->payload);
    EXPECT_EQ(zoom.value("zoom").typeId(), QMetaType::QString); // the wrong type, on purpose
    EXPECT_EQ(zoom.value("scale"), 1.5);

    // A control line may wait for the agent too, while the script keeps its own expectation.
    device.process().writeLine("expect-text hello");
    channel->sendFrameOfType(PeerMessage::kFrameTypeTextMessage, 0, PeerMessage::encodeText("hello"),
                             nullptr);
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("\"control-finished\"")).isNull());
    device.process().writeLine("disconnect");
    ASSERT_TRUE(waitUntil([&] { return collector.ends > 0; }));
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("\"disconnected\"")).isNull());
}

TEST(DeviceSim, DecodesThePicturesItReceivesAndSavesTheLastOne) {
    const QString lastFrame = tempPath(QStringLiteral("last-frame.png"));
    const QString asked = tempPath(QStringLiteral("asked.png"));
    DeviceSimProcess device(QString(), {"--control", "-", "--last-frame", lastFrame});
    ASSERT_TRUE(device.listening());
    FrameCollector collector;
    auto channel = connectTo(device.port(), &collector);
    ASSERT_FALSE(device.process().waitForLine(QRegularExpression("\"connected\"")).isNull());
    device.process().writeLine("save-picture");
    EXPECT_TRUE(
        device.process().waitForLine(QRegularExpression("\"control-failed\"")).contains("no picture yet"));

    channel->sendFrameOfType(108, 0, jpegVideoPayload(jpegOf(Qt::red)), nullptr);
    channel->sendFrameOfType(108, 0, jpegVideoPayload("\xff\xd8 not a picture"), nullptr);
    channel->sendFrameOfType(108, 0, jpegVideoPayload(jpegOf(Qt::blue)).chopped(2), nullptr);
    channel->sendFrameOfType(108, 0, jpegVideoPayload(jpegOf(Qt::blue)), nullptr);
    ASSERT_TRUE(waitUntil([&] { return device.record().size() == 4; }));
    const std::vector<QJsonObject> record = device.record();
    EXPECT_EQ(record[0].value("codec"), "JPEG");
    EXPECT_EQ(record[0].value("width"), 80);
    EXPECT_EQ(record[0].value("height"), 60);
    EXPECT_TRUE(record[1].value("error").toString().startsWith("VideoDecodeError"));
    EXPECT_TRUE(record[2].value("error").toString().startsWith("VideoPayloadError"));
    EXPECT_EQ(record[3].value("codec"), "JPEG");

    device.process().writeLine("save-picture " + asked);
    EXPECT_TRUE(
        device.process().waitForLine(QRegularExpression("\"picture-saved\"")).contains("\"width\":80"));
    EXPECT_LT(qRed(QImage(asked).pixel(40, 30)), 16) << "the last good picture, blue, not the red one";
    EXPECT_GT(qBlue(QImage(asked).pixel(40, 30)), 240);

    // The link's end brings its summary and the last picture on the --last-frame path; so does SIGTERM.
    channel->close();
    const QString summary = device.process().waitForLine(QRegularExpression("\"event\":\"video\""));
    EXPECT_TRUE(summary.contains("\"frames\":2") && summary.contains("\"errors\":2"))
        << summary.toStdString();
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("picture-saved.*last-frame")).isNull());
    ASSERT_TRUE(QFile::remove(lastFrame));
    device.process().terminate();
    EXPECT_EQ(device.process().waitForExit(), 0);
    EXPECT_EQ(QImage(lastFrame).size(), QSize(80, 60));
}
