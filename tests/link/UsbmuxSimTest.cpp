#include "UsbmuxFakes.h"
#include "base/NotificationCenter.h"
#include "fakes/TestSupport.h"
#include "link/IoChannel.h"
#include "link/PTChannel.h"
#include "link/PTProtocol.h"
#include "link/PTUSBChannel.h"
#include "link/PTUSBHub.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

namespace {

const QString kRealDaemonPath = QStringLiteral("/var/run/usbmuxd");

quint16 closedPort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    return s.serverPort();
}

} // namespace

TEST(UsbmuxSim, ListenAnnouncesDevicesAsTheyComeAndGo) {
    SimProcess sim(QStringLiteral("sim-listen.sock"),
                   {QStringLiteral("--device"), QStringLiteral("11:40001:SERIAL11")});
    ASSERT_TRUE(sim.started());
    PTUSBHub hub(UsbmuxAddress::unixSocket(sim.path()));
    std::vector<std::pair<QString, QVariantMap>> notes;
    std::vector<NotificationCenter::ObserverId> ids;
    for (const QString& name : {kPTUSBDeviceDidAttachNotification, kPTUSBDeviceDidDetachNotification})
        ids.push_back(NotificationCenter::defaultCenter().addObserver(
            name, &hub, [&](const Notification& n) { notes.emplace_back(n.name, n.userInfo); }));
    OptError start = Error::make(QStringLiteral("unset"), -1);
    hub.listenOnQueue([&](const OptError& e) { start = e; }, nullptr);
    ASSERT_FALSE(sim.waitForLine(QStringLiteral("listen")).isEmpty());
    // The device present at Listen time is announced right after the answer.
    ASSERT_TRUE(waitUntil([&] { return !start && notes.size() == 1; }));
    EXPECT_EQ(notes[0].first, kPTUSBDeviceDidAttachNotification);
    EXPECT_EQ(notes[0].second.value(QStringLiteral("DeviceID")).toLongLong(), 11);
    const QVariantMap props = notes[0].second.value(QStringLiteral("Properties")).toMap();
    EXPECT_EQ(props.value(QStringLiteral("ConnectionType")), QStringLiteral("USB"));
    EXPECT_EQ(props.value(QStringLiteral("SerialNumber")), QStringLiteral("SERIAL11"));
    EXPECT_EQ(props.value(QStringLiteral("DeviceID")).toLongLong(), 11);
    EXPECT_TRUE(props.contains(QStringLiteral("ProductID")) && props.contains(QStringLiteral("LocationID")));

    sim.command(QStringLiteral("attach 12 40002"));
    sim.command(QStringLiteral("detach 11"));
    sim.command(QStringLiteral("detach 11"));
    EXPECT_FALSE(sim.waitForLine(QStringLiteral("error device 11 is not attached")).isEmpty());
    ASSERT_TRUE(waitUntil([&] { return notes.size() == 3; }));
    EXPECT_EQ(notes[1].first, kPTUSBDeviceDidAttachNotification);
    EXPECT_EQ(notes[1].second.value(QStringLiteral("DeviceID")).toLongLong(), 12);
    EXPECT_EQ(notes[2].first, kPTUSBDeviceDidDetachNotification);
    EXPECT_EQ(notes[2].second.value(QStringLiteral("DeviceID")).toLongLong(), 11);
    for (auto id : ids)
        NotificationCenter::defaultCenter().removeObserver(id);
}

TEST(UsbmuxSim, ConnectBridgesTheDevicePortUntilTheDeviceGoes) {
    QTcpServer device;
    ASSERT_TRUE(device.listen(QHostAddress::LocalHost));
    SimProcess sim(QStringLiteral("sim-connect.sock"),
                   {QStringLiteral("--device"), QStringLiteral("3:%1").arg(device.serverPort())});
    ASSERT_TRUE(sim.started());
    const int before = openDescriptorCount();
    {
        PTUSBHub hub(UsbmuxAddress::unixSocket(sim.path()));
        ConnectResult c;
        connectTo(hub, 3, device.serverPort(), c);
        ASSERT_TRUE(waitUntil([&] { return c.started && device.hasPendingConnections(); }));
        ASSERT_FALSE(c.error) << c.error->toString().toStdString();
        QTcpSocket* peer = device.nextPendingConnection();
        peer->write("from-device");
        QByteArray got;
        c.io->read(11, [&](int, QByteArray data, bool) { got = data; });
        ASSERT_TRUE(waitUntil([&] { return !got.isEmpty(); }));
        EXPECT_EQ(got, "from-device");
        c.io->write("from-host", {}, nullptr);
        QByteArray back;
        ASSERT_TRUE(waitUntil([&] { return (back += peer->readAll()).size() >= 9; }));
        EXPECT_EQ(back, "from-host");

        sim.command(QStringLiteral("detach 3"));
        bool eof = false;
        c.io->read(1, [&](int, QByteArray, bool e) { eof = e; });
        ASSERT_TRUE(waitUntil([&] { return eof; })) << "the stream ends with its device";
        c.io->close(false);
        ASSERT_TRUE(waitUntil([&] { return c.ends == 1; }));
        c.io.reset();
        delete peer;
    }
    spinEventLoop(30);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(UsbmuxSim, RefusalsCarryTheDaemonsNumbers) {
    const quint16 nobody = closedPort();
    SimProcess sim(QStringLiteral("sim-refuse.sock"),
                   {QStringLiteral("--device"), QStringLiteral("4:%1").arg(nobody)});
    ASSERT_TRUE(sim.started());
    PTUSBHub hub(UsbmuxAddress::unixSocket(sim.path()));
    ConnectResult unknown, refused;
    connectTo(hub, 99, nobody, unknown);
    connectTo(hub, 4, nobody, refused);
    ASSERT_TRUE(waitUntil([&] { return unknown.started && refused.started; }));
    ASSERT_TRUE(unknown.error && refused.error);
    EXPECT_EQ(unknown.error->code, 2);
    EXPECT_EQ(unknown.error->description, QStringLiteral("unknown device"));
    EXPECT_EQ(refused.error->code, 3);
    EXPECT_EQ(refused.error->description, QStringLiteral("connection refused"));

    auto channel = PTUSBChannel::create();
    OptError error;
    ASSERT_TRUE(channel->openOnQueue(UsbmuxAddress::unixSocket(sim.path()), &error, nullptr));
    OptError illegal;
    bool answered = false;
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType(QStringLiteral("Dance")),
                         [&](const OptError& e, const std::optional<QVariantMap>& a) {
                             answered = true;
                             illegal = PTUSBChannel::errorFromPlistResponse(a, e);
                         });
    ASSERT_TRUE(waitUntil([&] { return answered; }));
    ASSERT_TRUE(illegal);
    EXPECT_EQ(illegal->code, 1);
    EXPECT_EQ(illegal->description, QStringLiteral("illegal command"));
    channel->cancel();
}

TEST(UsbmuxSim, BinaryRequestsAreDroppedLikeDebiansDaemonUnlessAccepted) {
    for (bool accept : {false, true}) {
        SCOPED_TRACE(accept);
        SimProcess sim(QStringLiteral("sim-binary.sock"),
                       accept ? QStringList{QStringLiteral("--accept-binary")} : QStringList{});
        ASSERT_TRUE(sim.started());
        UsbmuxAddress address = UsbmuxAddress::unixSocket(sim.path());
        address.requestFormat = PropertyList::Format::Binary;
        PTUSBHub hub(address);
        OptError start = Error::make(QStringLiteral("unset"), -1);
        hub.listenOnQueue([&](const OptError& e) { start = e; }, nullptr);
        if (accept) {
            ASSERT_TRUE(waitUntil([&] { return !start; }));
        } else {
            EXPECT_FALSE(sim.waitForLine(QStringLiteral("dropped-binary")).isEmpty());
            spinEventLoop(100);
            EXPECT_TRUE(start && start->code == -1) << "no answer ever comes";
        }
    }
}

TEST(UsbmuxSim, AFrameChannelRunsOverTheBridge) {
    struct Delegate : PTChannelDelegate {
        std::vector<std::pair<uint32_t, QByteArray>> frames;
        void ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t type, uint32_t,
                                                 const PTData* payload) override {
            frames.emplace_back(type, payload ? payload->data() : QByteArray());
        }
    } delegate;
    QTcpServer device;
    ASSERT_TRUE(device.listen(QHostAddress::LocalHost));
    SimProcess sim(QStringLiteral("sim-frames.sock"),
                   {QStringLiteral("--device"), QStringLiteral("8:%1").arg(device.serverPort())});
    ASSERT_TRUE(sim.started());
    PTUSBHub hub(UsbmuxAddress::unixSocket(sim.path()));
    auto channel = PTChannel::channelWithDelegate(&delegate);
    OptError result = Error::make(QStringLiteral("unset"), -1);
    channel->connectToPortOverUSBHub(device.serverPort(), &hub, 8, [&](const OptError& e) { result = e; });
    ASSERT_TRUE(waitUntil([&] { return !result && device.hasPendingConnections(); }));
    QTcpSocket* peer = device.nextPendingConnection();
    // The companion app's first frame: type 101 with a short text.
    peer->write(PTProtocol::headerWithFrameOfType(101, 0, 5) + "hello");
    ASSERT_TRUE(waitUntil([&] { return delegate.frames.size() == 1; }));
    EXPECT_EQ(delegate.frames[0], std::make_pair(101u, QByteArray("hello")));
    channel->sendFrameOfType(102, 1, {}, nullptr);
    QByteArray back;
    ASSERT_TRUE(waitUntil([&] { return (back += peer->readAll()).size() >= 16; }));
    EXPECT_EQ(back, PTProtocol::headerWithFrameOfType(102, 1, 0));
    channel->close();
    delete peer;
}

TEST(UsbmuxRealDaemon, ListenIsAnswered) {
    struct stat st {};
    if (::stat(kRealDaemonPath.toLocal8Bit().constData(), &st) != 0 || !S_ISSOCK(st.st_mode))
        GTEST_SKIP()
            << "no usbmux daemon at /var/run/usbmuxd (scripts/test starts Debian's when run as root)";
    PTUSBHub hub(UsbmuxAddress::unixSocket(kRealDaemonPath));
    bool answered = false;
    OptError start;
    hub.listenOnQueue(
        [&](const OptError& e) {
            answered = true;
            start = e;
        },
        nullptr);
    if (answered && start && start->domain == kPOSIXErrorDomain && start->code == ECONNREFUSED)
        GTEST_SKIP() << "/var/run/usbmuxd is left over from a daemon that is no longer running";
    ASSERT_TRUE(waitUntil([&] { return answered; }, 10000)) << "the daemon never answered \"Listen\"";
    EXPECT_FALSE(start) << start->toString().toStdString();
    // No device is attached here: a connect names one the daemon does not know.
    ConnectResult c;
    connectTo(hub, 0x7fff0001, 23481, c);
    ASSERT_TRUE(waitUntil([&] { return c.started; }, 10000));
    ASSERT_TRUE(c.error);
    EXPECT_EQ(c.error->code, 2);
    EXPECT_EQ(c.error->description, QStringLiteral("unknown device"));
}
