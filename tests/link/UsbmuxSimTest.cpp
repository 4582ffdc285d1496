// Our client against Debian's usbmux daemon where one runs (scripts/test starts it when run as root),
// and against usbmuxd-sim, which must answer as that daemon does for the agent road (tests/integration)
// to mean anything: "Listen" is answered, and a connect to a device it does not know is refused with 2.
#include "LinkTestSupport.h"
#include "UsbmuxFakes.h"
#include "fakes/TestSupport.h"
#include "link/PTUSBHub.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

TEST(UsbmuxDaemon, ListenIsAnsweredAndAnUnknownDeviceRefused) {
    SimProcess sim(QStringLiteral("sim.sock"));
    ASSERT_TRUE(sim.started());
    QStringList daemons{sim.path()};
    struct stat st {};
    if (::stat("/var/run/usbmuxd", &st) == 0 && S_ISSOCK(st.st_mode)) daemons << "/var/run/usbmuxd";
    for (const QString& path : daemons) {
        SCOPED_TRACE(path.toStdString());
        PTUSBHub hub(UsbmuxAddress::unixSocket(path));
        bool answered = false;
        OptError start;
        hub.listenOnQueue(
            [&](const OptError& e) {
                answered = true;
                start = e;
            },
            nullptr);
        if (answered && start && start->code == ECONNREFUSED) {
            std::cout << "/var/run/usbmuxd is left over from a daemon that is no longer running\n";
            continue;
        }
        ASSERT_TRUE(waitUntil([&] { return answered; }, 10000)) << "the daemon never answered \"Listen\"";
        EXPECT_FALSE(start) << errorText(start, true);
        ConnectResult c;
        connectTo(hub, 0x7fff0001, 23481, c);
        ASSERT_TRUE(waitUntil([&] { return c.started; }, 10000));
        EXPECT_EQ(errorText(c.error, true), "PTUSBHubError 2: unknown device");
    }
    if (daemons.size() == 1) std::cout << "no usbmux daemon at /var/run/usbmuxd: the simulator only\n";
}
