// device-sim as a program, reached directly over loopback TCP: what its scripts send and record is
// tested on its parts; here what the program adds around them.
#include "LinkRoad.h"
#include "fakes/TestSupport.h"
#include "session/PeerMessage.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QtEndian>
#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

std::shared_ptr<PTChannel> connectTo(uint16_t port, RecordingDelegate* delegate) {
    auto channel = PTChannel::channelWithDelegate(delegate);
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

// Whether the device reported `event` (next after the last one seen), saying `detail`.
bool saw(DeviceSimProcess& device, const char* event, const char* detail = "") {
    const QString line =
        device.process().waitForLine(QRegularExpression(QStringLiteral("\"%1\"").arg(event)));
    return !line.isNull() && line.contains(QLatin1String(detail));
}

bool introduced(const RecordingDelegate& delegate) {
    return !delegate.frames.empty() && delegate.frames[0].type == PeerMessage::kFrameTypeDeviceInfo;
}

// A JPEG video frame's payload built by hand as the agent's output path writes it: little-endian length
// and 1, then the picture as one 0x21 unit.
QByteArray videoPayload(QColor color) {
    QImage image(80, 60, QImage::Format_RGB32);
    image.fill(color);
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, "JPEG", 90));
    QByteArray payload(8, 0);
    qToLittleEndian<quint32>(quint32(jpeg.size() + 5), payload.data());
    qToLittleEndian<quint32>(1, payload.data() + 4);
    return payload + QByteArray("\0\0\0\1\x21", 5) + jpeg;
}

} // namespace

TEST(DeviceSim, WithOnceItsExitCodeSaysWhetherTheScriptRanThroughAndRawBytesGoOutAsTheyStand) {
    {
        DeviceSimProcess device(QStringLiteral("timeout 200\nping\nexpect-text never\nping\n"), {"--once"});
        RecordingDelegate delegate;
        auto channel = connectTo(device.port(), &delegate);
        EXPECT_TRUE(saw(device, "script-failed", "line 3"));
        channel->close();
        EXPECT_EQ(device.process().waitForExit(), 1);
        EXPECT_EQ(delegate.frames.size(), 1u) << "nothing after the failed line was sent";
    }
    // A header of version 2 right after a good frame: the peer's channel ends with a protocol error.
    DeviceSimProcess device(QStringLiteral("send-frame 105 tag=9 hex=abcd\n"
                                           "send-raw 00000002 00000065 00000000 00000000\n"),
                            {"--once"});
    RecordingDelegate delegate;
    auto channel = connectTo(device.port(), &delegate);
    ASSERT_TRUE(waitUntil([&] { return delegate.ends > 0; }));
    ASSERT_EQ(delegate.frames.size(), 1u);
    EXPECT_EQ(delegate.frames[0].payload, QByteArray("\xab\xcd", 2));
    ASSERT_TRUE(delegate.endError);
    EXPECT_EQ(delegate.endError->domain, kPTProtocolErrorDomain);
    EXPECT_EQ(device.process().waitForExit(), 0);

    // A bad script is refused with its line, before anything listens.
    ChildProcess bad(QStringLiteral("device-sim"), {"--script", "-"});
    ASSERT_TRUE(bad.started());
    bad.writeLine(QStringLiteral("intro\nsend-event Tap x=<0>"));
    bad.closeInput();
    EXPECT_EQ(bad.waitForExit(), 2);
    EXPECT_TRUE(bad.transcript().contains("line 2: bad hex data <0>")) << bad.transcript().toStdString();
    EXPECT_FALSE(bad.transcript().contains("listening"));
}

// One connection at a time, each with the script afresh; control lines fail without a connection or
// when unknown, and may wait for a frame beside the waiting script.
TEST(DeviceSim, TakesOneConnectionAtATimeAndRunsControlLinesOnIt) {
    DeviceSimProcess device(QStringLiteral("intro protocolVersion=1.0.9\nexpect-text never-sent\n"),
                            {"--control", "-"});
    device.process().writeLine("ping");
    EXPECT_TRUE(saw(device, "control-failed", "no connection"));
    RecordingDelegate first, second, third;
    auto one = connectTo(device.port(), &first);
    ASSERT_TRUE(waitUntil([&] { return introduced(first); }));
    auto two = connectTo(device.port(), &second);
    ASSERT_TRUE(waitUntil([&] { return second.ends > 0; })) << "the device hangs up on a second one";
    EXPECT_TRUE(second.frames.empty());
    EXPECT_TRUE(saw(device, "refused"));

    device.process().writeLine("not-a-command");
    EXPECT_TRUE(saw(device, "control-failed", "not-a-command"));
    device.process().writeLine("expect-text hello");
    one->sendFrameOfType(PeerMessage::kFrameTypeTextMessage, 0, PeerMessage::encodeText("hello"), nullptr);
    EXPECT_TRUE(saw(device, "control-finished"));
    EXPECT_EQ(first.ends, 0) << "the open connection is untouched";

    one->close();
    ASSERT_TRUE(saw(device, "disconnected"));
    auto three = connectTo(device.port(), &third);
    EXPECT_TRUE(waitUntil([&] { return introduced(third); }));
}

// Pictures are decoded as they come; save-picture keeps the last good one, and so do the link's end
// (with the link's video summary) and SIGTERM, on the --last-frame path.
TEST(DeviceSim, DecodesThePicturesItReceivesAndSavesTheLastOne) {
    const QString lastFrame = tempPath(QStringLiteral("last-frame.png"));
    const QString asked = tempPath(QStringLiteral("asked.png"));
    DeviceSimProcess device(QString(), {"--control", "-", "--last-frame", lastFrame});
    RecordingDelegate delegate;
    auto channel = connectTo(device.port(), &delegate);
    ASSERT_TRUE(saw(device, "connected"));
    device.process().writeLine("save-picture");
    EXPECT_TRUE(saw(device, "control-failed", "no picture yet"));

    for (const QByteArray& payload :
         {videoPayload(Qt::red), videoPayload(Qt::blue).chopped(2), videoPayload(Qt::blue)})
        channel->sendFrameOfType(108, 0, payload, nullptr);
    ASSERT_TRUE(waitUntil([&] { return device.record().size() == 3; }));
    EXPECT_TRUE(device.record()[1].value("error").toString().startsWith("VideoPayloadError"));

    device.process().writeLine("save-picture " + asked);
    EXPECT_TRUE(saw(device, "picture-saved", "\"width\":80"));
    EXPECT_LT(qRed(QImage(asked).pixel(40, 30)), 16) << "the last good picture, blue, not the red one";
    EXPECT_GT(qBlue(QImage(asked).pixel(40, 30)), 240);
    device.process().writeLine("save-picture /nonexistent-dir/x.png");
    EXPECT_TRUE(saw(device, "control-failed"));

    channel->close();
    const QString summary = device.process().waitForLine(QRegularExpression("\"event\":\"video\""));
    EXPECT_TRUE(summary.contains("\"frames\":2") && summary.contains("\"errors\":1"))
        << summary.toStdString();
    EXPECT_TRUE(saw(device, "picture-saved", "last-frame"));
    ASSERT_TRUE(QFile::remove(lastFrame));
    device.process().terminate();
    EXPECT_EQ(device.process().waitForExit(), 0);
    EXPECT_EQ(QImage(lastFrame).size(), QSize(80, 60));
}
