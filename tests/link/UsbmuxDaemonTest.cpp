// Our client against Debian's usbmux daemon, where one runs (scripts/test starts it when run as root):
// "Listen" is answered, and a connect to a device it does not know is refused with 2. (usbmuxd-sim, which
// stands in for it, is driven through the agent road in tests/integration.)
#include "LinkTestSupport.h"
#include "UsbmuxFakes.h"
#include "fakes/TestSupport.h"
#include "link/PTUSBHub.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

TEST(UsbmuxRealDaemon, ListenIsAnsweredAndAnUnknownDeviceRefused) {
    struct stat st {};
    if (::stat("/var/run/usbmuxd", &st) != 0 || !S_ISSOCK(st.st_mode))
        GTEST_SKIP() << "no usbmux daemon at /var/run/usbmuxd";
    PTUSBHub hub(UsbmuxAddress::unixSocket(QStringLiteral("/var/run/usbmuxd")));
    std::optional<OptError> start;
    hub.listenOnQueue([&](const OptError& e) { start = e; }, nullptr);
    if (start && *start && (*start)->code == ECONNREFUSED)
        GTEST_SKIP() << "/var/run/usbmuxd is left over from a daemon that is no longer running";
    ASSERT_TRUE(waitUntil([&] { return start.has_value(); }, 10000))
        << "the daemon never answered \"Listen\"";
    EXPECT_EQ(errorText(*start), "nil");
    ConnectResult c;
    connectTo(hub, 0x7fff0001, 23481, c);
    ASSERT_TRUE(waitUntil([&] { return c.started; }, 10000));
    EXPECT_EQ(errorText(c.error, true), "PTUSBHubError 2: unknown device");
}
