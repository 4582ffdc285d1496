// device-sim as a program, reached directly over loopback TCP.
#include "LinkRoad.h"
#include "fakes/TestSupport.h"
#include "session/PeerMessage.h"

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
