// The whole road of the link on real sockets: usbmuxd-sim on a private socket, device-sim attached to it
// as a USB device, and a PTUSBHub + PTChannel in the test connecting to port 23481 through the daemon.
#include "LinkRoad.h"
#include "base/NotificationCenter.h"
#include "base/PropertyList.h"
#include "fakes/SimProcess.h"
#include "fakes/TestSupport.h"
#include "link/PTUSBHub.h"
#include "session/PeerMessage.h"

#include <gtest/gtest.h>

namespace {

constexpr uint16_t kAppPort = 23481;

// usbmuxd-sim on a socket of its own, and a hub of ours following it.
class DaemonRoad : public ::testing::Test {
protected:
    void SetUp() override {
        daemon_ = std::make_unique<SimProcess>(QStringLiteral("usbmuxd-%1").arg(++count_));
        ASSERT_TRUE(daemon_->started()) << daemon_->transcript().toStdString();
        socketPath_ = daemon_->path();

        auto& center = NotificationCenter::defaultCenter();
        observers_.push_back(
            center.addObserver(kPTUSBDeviceDidAttachNotification, nullptr,
                               [this](const Notification& n) { attached_.push_back(n.userInfo); }));
        observers_.push_back(
            center.addObserver(kPTUSBDeviceDidDetachNotification, nullptr,
                               [this](const Notification& n) { detached_.push_back(n.userInfo); }));
        hub_ = std::make_unique<PTUSBHub>(UsbmuxAddress::unixSocket(socketPath_));
        bool started = false;
        OptError startError;
        hub_->listenOnQueue(
            [&](const OptError& error) {
                started = true;
                startError = error;
            },
            [](const OptError&) {});
        ASSERT_TRUE(waitUntil([&] { return started; }));
        ASSERT_FALSE(startError) << startError->toString().toStdString();
    }

    void TearDown() override {
        for (auto id : observers_)
            NotificationCenter::defaultCenter().removeObserver(id);
        hub_.reset();
        daemon_.reset();
    }

    // Attaches device-sim's port as device `id` and waits for the hub to hear of it.
    bool attach(qint64 id, uint16_t port) {
        daemon_->command(QStringLiteral("attach %1 %2 SIM-%1").arg(id).arg(port));
        return waitUntil([&] {
            for (const QVariantMap& info : attached_)
                if (info.value("DeviceID").toLongLong() == id) return true;
            return false;
        });
    }

    std::shared_ptr<PTChannel> connect(FrameCollector* collector, qint64 id, OptError* error) {
        auto channel = PTChannel::channelWithDelegate(collector);
        bool called = false;
        channel->connectToPortOverUSBHub(kAppPort, hub_.get(), id, [&](const OptError& e) {
            called = true;
            *error = e;
        });
        if (!waitUntil([&] { return called; }))
            *error = Error::make(QStringLiteral("test"), 0, QStringLiteral("no answer"));
        return channel;
    }

    static inline int count_ = 0;
    QString socketPath_;
    std::unique_ptr<SimProcess> daemon_;
    std::unique_ptr<PTUSBHub> hub_;
    std::vector<NotificationCenter::ObserverId> observers_;
    std::vector<QVariantMap> attached_;
    std::vector<QVariantMap> detached_;
};

} // namespace

TEST_F(DaemonRoad, FramesGoBothWaysThroughTheDaemonAndADetachEndsTheLinkCleanly) {
    DeviceSimProcess device(
        QStringLiteral("intro protocolVersion=1.0.9 hardwareString=iPad8,1 softwareString=ZubApp "
                       "softwareVersion=2.0\n"
                       "expect-text hello from the test\n"
                       "send-event ReadyToReceive\n"
                       "ping tag=5\n"
                       "expect-event CursorPosChanged x=0.5\n"
                       "send-text size noted\n"));
    ASSERT_TRUE(device.listening()) << device.process().transcript().toStdString();
    const int descriptorsBefore = openDescriptorCount();

    ASSERT_TRUE(attach(3, device.port())) << daemon_->transcript().toStdString();
    const QVariantMap properties = attached_.back().value("Properties").toMap();
    EXPECT_EQ(properties.value("ConnectionType").toString(), QStringLiteral("USB"));
    EXPECT_EQ(properties.value("SerialNumber").toString(), QStringLiteral("SIM-3"));

    FrameCollector collector;
    OptError connectError;
    auto channel = connect(&collector, 3, &connectError);
    ASSERT_FALSE(connectError) << connectError->toString().toStdString();

    ASSERT_TRUE(collector.waitFor(PeerMessage::kFrameTypeDeviceInfo))
        << device.process().transcript().toStdString();
    OptError error;
    const QVariantMap intro =
        PropertyList::parseDictionary(collector.find(PeerMessage::kFrameTypeDeviceInfo)->payload, &error);
    ASSERT_FALSE(error);
    EXPECT_EQ(intro.value("protocolVersion"), QVariant(QStringLiteral("1.0.9")));
    EXPECT_EQ(intro.value("hardwareString"), QVariant(QStringLiteral("iPad8,1")));
    EXPECT_EQ(intro.value("softwareVersion"), QVariant(QStringLiteral("2.0")));

    channel->sendFrameOfType(PeerMessage::kFrameTypeTextMessage, 0,
                             PeerMessage::encodeText(QStringLiteral("hello from the test")), nullptr);
    channel->sendFrameOfType(
        PeerMessage::kFrameTypeEvent, 0,
        PeerMessage::encodeDictionary(
            {{"eventName", QStringLiteral("CursorPosChanged")}, {"x", 0.5}, {"y", 0.25}}),
        nullptr);

    EXPECT_TRUE(collector.waitFor(PeerMessage::kFrameTypeEvent, QStringLiteral("ReadyToReceive")));
    ASSERT_TRUE(collector.waitFor(PeerMessage::kFrameTypeTextMessage, QStringLiteral("size noted")))
        << "the device goes on only after it saw both frames of the test";
    const FrameCollector::Frame* ping = collector.find(PeerMessage::kFrameTypePing);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->tag, 5u);
    EXPECT_TRUE(ping->payload.isEmpty());
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("\"script-finished\"")).isNull());

    // The device's record holds what the test sent, decoded, and what the device sent.
    bool sawText = false, sawEvent = false, sawIntro = false;
    for (const QJsonObject& line : device.record()) {
        const QString dir = line.value("dir").toString();
        const int type = line.value("type").toInt();
        if (dir == "in" && type == 101 && line.value("text").toString() == "hello from the test")
            sawText = true;
        if (dir == "in" && type == 104) {
            const QJsonObject plist = line.value("plist").toObject();
            sawEvent = plist.value("eventName").toString() == "CursorPosChanged" &&
                       plist.value("x").toDouble() == 0.5;
        }
        if (dir == "out" && type == 100)
            sawIntro = line.value("plist").toObject().value("hardwareString") == "iPad8,1";
    }
    EXPECT_TRUE(sawText);
    EXPECT_TRUE(sawEvent);
    EXPECT_TRUE(sawIntro);

    // Unplugging ends the road: the hub hears "Detached", the channel ends without error, once.
    daemon_->command(QStringLiteral("detach 3"));
    ASSERT_TRUE(waitUntil([&] { return !detached_.empty(); }));
    EXPECT_EQ(detached_.back().value("DeviceID").toLongLong(), 3);
    ASSERT_TRUE(waitUntil([&] { return collector.ends > 0; })) << daemon_->transcript().toStdString();
    EXPECT_FALSE(collector.endError) << collector.endError->toString().toStdString();
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("\"event\":\"disconnected\"")).isNull());
    spinEventLoop(100);
    EXPECT_EQ(collector.ends, 1);
    channel.reset();
    EXPECT_TRUE(waitUntil([&] { return openDescriptorCount() <= descriptorsBefore; }))
        << openDescriptorCount() << " descriptors open, " << descriptorsBefore << " before";
}

TEST_F(DaemonRoad, TheDeviceTakesOneConnectionAtATimeAndStartsItsScriptAfreshForEach) {
    DeviceSimProcess device(QStringLiteral("intro hardwareString=iPhone12,1\n"));
    ASSERT_TRUE(device.listening());
    ASSERT_TRUE(attach(1, device.port()));

    FrameCollector first, second, third;
    OptError error;
    auto one = connect(&first, 1, &error);
    ASSERT_FALSE(error);
    ASSERT_TRUE(first.waitFor(PeerMessage::kFrameTypeDeviceInfo));
    auto two = connect(&second, 1, &error);
    // The daemon made its connection; the device hangs up on it at once.
    ASSERT_TRUE(waitUntil([&] { return second.ends > 0 || error; }));
    EXPECT_TRUE(second.frames.empty());
    EXPECT_FALSE(device.process().waitForLine(QRegularExpression("\"event\":\"refused\"")).isNull());
    EXPECT_EQ(first.ends, 0) << "the open connection is untouched";

    one->close();
    ASSERT_TRUE(waitUntil([&] { return first.ends > 0; }));
    ASSERT_FALSE(device.process().waitForLine(QRegularExpression("\"event\":\"disconnected\"")).isNull());
    auto three = connect(&third, 1, &error);
    ASSERT_FALSE(error);
    ASSERT_TRUE(third.waitFor(PeerMessage::kFrameTypeDeviceInfo))
        << "the next connection gets the script from its start";
    EXPECT_EQ(first.frames.size(), 1u);
}

TEST_F(DaemonRoad, LinkProbePlaysTheDemoWithTheDemoDevice) {
    QFile demoScript(QStringLiteral(ZUB_SOURCE_DIR "/tools/device-sim/scripts/link-demo.txt"));
    ASSERT_TRUE(demoScript.open(QIODevice::ReadOnly));
    DeviceSimProcess device(QString::fromUtf8(demoScript.readAll()), {"--once"});
    ASSERT_TRUE(device.listening());
    ASSERT_TRUE(attach(1, device.port()));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), QStringLiteral("UNIX:") + socketPath_);
    ChildProcess probe(QStringLiteral("link-probe"), {"--timeout", "20"}, environment);
    ASSERT_TRUE(probe.started());
    EXPECT_EQ(probe.waitForExit(20000), 0) << probe.transcript().toStdString();
    const QString said = probe.transcript();
    EXPECT_TRUE(said.contains("device attached: ID 1 (USB, serial SIM-1)")) << said.toStdString();
    EXPECT_TRUE(said.contains("link: up"));
    EXPECT_TRUE(
        said.contains("introduction: protocolVersion=1.0.9 hardwareString=iPad8,1 softwareString=ZubApp "
                      "softwareVersion=2.0"));
    EXPECT_TRUE(said.contains("\"eventName\":\"ReadyToReceive\""));
    EXPECT_TRUE(said.contains("\"text\":\"thanks\""));
    EXPECT_TRUE(said.contains("link: ended cleanly"));
    EXPECT_EQ(device.process().waitForExit(), 0) << device.process().transcript().toStdString();
}
