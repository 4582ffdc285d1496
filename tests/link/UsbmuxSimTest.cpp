// What usbmuxd-sim must share with Debian's daemon for the agent road to mean anything; the road itself
// (listen, attach, connect, bridge, detach, drop, a restart) is driven by tests/integration.
#include "UsbmuxFakes.h"
#include "fakes/TestSupport.h"
#include "link/PTUSBChannel.h"
#include "link/PTUSBHub.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

TEST(UsbmuxSim, RefusalsCarryTheDaemonsNumbers) {
    SimProcess sim(QStringLiteral("sim-refuse.sock"), {QStringLiteral("--device"), QStringLiteral("4:1")});
    ASSERT_TRUE(sim.started());
    PTUSBHub hub(UsbmuxAddress::unixSocket(sim.path()));
    ConnectResult unknown, refused;
    connectTo(hub, 99, 1, unknown);
    connectTo(hub, 4, 1, refused);
    ASSERT_TRUE(waitUntil([&] { return unknown.started && refused.started; }));
    ASSERT_TRUE(unknown.error && refused.error);
    EXPECT_EQ(unknown.error->code, 2);
    EXPECT_EQ(refused.error->code, 3);

    auto channel = PTUSBChannel::create();
    ASSERT_TRUE(channel->openOnQueue(UsbmuxAddress::unixSocket(sim.path()), nullptr, nullptr));
    OptError illegal;
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType(QStringLiteral("Dance")),
                         [&](const OptError& e, const std::optional<QVariantMap>& a) {
                             illegal = PTUSBChannel::errorFromPlistResponse(a, e);
                         });
    ASSERT_TRUE(waitUntil([&] { return illegal.has_value(); }));
    EXPECT_EQ(illegal->code, 1);
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

TEST(UsbmuxRealDaemon, ListenIsAnsweredAndAnUnknownDeviceRefused) {
    const QString path = QStringLiteral("/var/run/usbmuxd");
    struct stat st {};
    if (::stat(path.toLocal8Bit().constData(), &st) != 0 || !S_ISSOCK(st.st_mode))
        GTEST_SKIP()
            << "no usbmux daemon at /var/run/usbmuxd (scripts/test starts Debian's when run as root)";
    PTUSBHub hub(UsbmuxAddress::unixSocket(path));
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
