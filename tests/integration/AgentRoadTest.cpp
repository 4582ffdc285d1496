// The agent's session against usbmuxd-sim and device-sim, over real sockets and the real clock.
#include "AgentRoad.h"

#include "base/Bundle.h"

#include <QFileInfo>

namespace {

QString expectedReply(const FakeSystemInfo& info) {
    return QStringLiteral("Version:%1 OS:%2 Hardware:%3 Protocol:1.0.9 H264:0")
        .arg(Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").toString(),
             info.osVersion, info.model);
}

} // namespace

TEST_F(AgentRoad, LinksOverTheDaemonToTheDeviceWhoseAppRunsAndAnswersTheIntroduction) {
    // Device 1's app is not running (its port refuses); device 2's is.
    attach(1, refusedPort());
    ASSERT_FALSE(daemon->waitForLine("connect 1 23481 refused").isEmpty());
    auto device = startDevice();
    attach(2, device->port());
    ASSERT_TRUE(waitIntroduced(6000)) << daemon->transcript().toStdString();
    EXPECT_EQ(controller->connectedDeviceID(), 2);
    EXPECT_EQ(controller->peerDeviceInfo().value("hardwareString"), "iPad8,1");
    EXPECT_TRUE(controller->checkPeerProtocolVersion("1.0.9"));
    EXPECT_FALSE(device->process().waitForLine(QRegularExpression("\"script-finished\"")).isNull());
    ASSERT_TRUE(waitUntil([&] { return !device->textsReceived().isEmpty(); }));
    EXPECT_EQ(device->textsReceived(), QStringList{expectedReply(info)});
    EXPECT_EQ(delegate.count("channelChanged(1)"), 1);

    // Messages go out on the link; an event the device sends comes in.
    controller->sendMessage("waitASec", PeerMessage::kChannelCurrent);
    device->process().writeLine("send-event SingleTap x=0.5 y=0.25");
    ASSERT_TRUE(waitUntil([&] { return delegate.count("handleTapEvent(0.5,0.25,0)") == 1; }));
    ASSERT_TRUE(waitUntil([&] { return device->textsReceived().contains("waitASec"); }));
}

TEST_F(AgentRoad, AgentFollowsTheDaemonAwayAndBack) {
    auto device = startDevice();
    attach(1, device->port());
    ASSERT_TRUE(waitIntroduced());
    const QString path = daemon->path();
    daemon.reset(); // the daemon quits: its devices and connections go with it
    ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0 && !controller->bUSBAttached(); }));
    EXPECT_TRUE(controller->connectionManager().usbDeviceIDs().empty());

    // Back on the same socket with the device present from the start.
    QFile::remove(path);
    daemon = std::make_unique<SimProcess>(
        QFileInfo(path).fileName(), QStringList{"--device", QStringLiteral("1:%1").arg(device->port())});
    ASSERT_TRUE(daemon->started());
    ASSERT_TRUE(waitIntroduced(4000)) << daemon->transcript().toStdString();
    EXPECT_EQ(controller->connectionManager().usbDeviceIDs(), std::vector<qint64>{1});
}

TEST_F(AgentRoad, LoopbackPeerOfOurOwnUserIsLinkedAndTheAgentsDescriptorsComeBack) {
    const int before = openDescriptorCount();
    {
        auto device = startDevice();
        info.uid = quint32(geteuid()); // the real table is not consulted here: the fake says who listens
        info.listeners[device->port()] = {info.uid};
        controller->setLoopbackPort(device->port());
        attach(1, refusedPort()); // a device must be attached for the loopback to be tried
        ASSERT_TRUE(waitIntroduced(4000));
        EXPECT_FALSE(controller->connectedDeviceID());
        EXPECT_EQ(controller->ptChannelConnected()->userInfo().toString(),
                  QStringLiteral("127.0.0.1:%1").arg(device->port()));
        device->process().writeLine("disconnect");
        ASSERT_TRUE(waitUntil([&] { return !controller->ptChannelConnected(); }));
        // Only the device's own channel clears the introduction.
        EXPECT_EQ(controller->currentChannel(), 1);
        daemon->command("detach 1");
        ASSERT_TRUE(waitUntil([&] { return !controller->bUSBAttached(); }));
        controller->setLoopbackPort(refusedPort());
    }
    spinEventLoop(200);
    EXPECT_EQ(openDescriptorCount(), before);
}
