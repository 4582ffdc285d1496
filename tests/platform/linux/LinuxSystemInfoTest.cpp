#include "platform/linux/LinuxSystemInfo.h"

#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QByteArray kTcpHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";
const QByteArray kTcp6Header =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

QByteArray tcpLine(const char* local, const char* state, const char* uid) {
    return QByteArray("   0: ") + local + " 00000000:0000 " + state +
           " 00000000:00000000 00:00000000 00000000  " + uid +
           "        0 4242 1 0000000000000000 100 0 0 10 0\n";
}

// 127.0.0.1 as the kernel prints it on this machine.
QByteArray loopbackHex() {
    return QByteArray::number(htonl(INADDR_LOOPBACK), 16).rightJustified(8, '0').toUpper();
}

} // namespace

TEST(LinuxSystemInfo, ReadsTheDistributionVersionAndTheMachineModelWithFallbacks) {
    const QString full = tempPath("root-full");
    writeFile(full + "/etc/os-release",
              "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n");
    writeFile(full + "/sys/class/dmi/id/product_name", "Standard PC (Q35 + ICH9, 2009)\n");
    writeFile(full + "/sys/class/dmi/id/sys_vendor", "QEMU\n");
    EXPECT_EQ(LinuxSystemInfo(full).osVersionString(), "12");
    EXPECT_EQ(LinuxSystemInfo(full).machineModel(), "Standard PC (Q35 + ICH9, 2009)");

    const QString sparse = tempPath("root-sparse");
    writeFile(sparse + "/usr/lib/os-release", "ID=ubuntu\nVERSION_ID='22.04'\n");
    writeFile(sparse + "/sys/class/dmi/id/product_name", "\n");
    writeFile(sparse + "/sys/class/dmi/id/board_name", "X570 AORUS\n");
    EXPECT_EQ(LinuxSystemInfo(sparse).osVersionString(), "22.04");
    EXPECT_EQ(LinuxSystemInfo(sparse).machineModel(), "X570 AORUS");

    // Nothing at all: the kernel's own names, never an empty text.
    LinuxSystemInfo bare(tempPath("root-empty"));
    EXPECT_FALSE(bare.osVersionString().isEmpty());
    EXPECT_FALSE(bare.machineModel().isEmpty());
}

TEST(LinuxSystemInfo, FindsTheOwnersOfListenersReachableFromLoopback) {
    const QByteArray lo = loopbackHex();
    QByteArray table = kTcpHeader;
    table += tcpLine(lo + ":5BB9", "0A", "1000");    // 127.0.0.1:23481 listening
    table += tcpLine("00000000:5BB9", "0A", "0");    // 0.0.0.0:23481 listening
    table += tcpLine(lo + ":5BB9", "01", "2000");    // an established connection: not a listener
    table += tcpLine("0201A8C0:5BB9", "0A", "3000"); // another address: unreachable from 127.0.0.1
    table += tcpLine(lo + ":5BBA", "0A", "4000");    // another port
    table += "garbage line\n";
    table += tcpLine(lo + ":5BB9", "0A", "nobody"); // an owner that does not read
    const auto owners = LinuxSystemInfo::listeningOwnersInTable(table, 23481, false);
    EXPECT_EQ(owners, (std::vector<quint32>{1000, 0, 0xffffffffu}));

    QByteArray table6 = kTcp6Header;
    table6 += tcpLine("00000000000000000000000000000000:5BB9", "0A", "1001"); // [::]
    table6 +=
        tcpLine("00000000000000000000000001000000:5BB9", "0A", "1002"); // [::1]: not reachable over IPv4
    const QByteArray mapped =
        "0000000000000000" + QByteArray::number(htonl(0xffff), 16).rightJustified(8, '0').toUpper() + lo;
    table6 += tcpLine(mapped + ":5BB9", "0A", "1003"); // [::ffff:127.0.0.1]
    table6 += tcpLine("ZZ:5BB9", "0A", "1004");        // an address that does not read counts
    EXPECT_EQ(LinuxSystemInfo::listeningOwnersInTable(table6, 23481, true),
              (std::vector<quint32>{1001, 1003, 1004}));
}

// Other users' listeners are read from the table above; here that the live tables are found and read.
TEST(LinuxSystemInfo, TheRealTableNamesTheListenersUser) {
    const int own = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(own, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(own, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(own, 1), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(own, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    LinuxSystemInfo info;
    EXPECT_EQ(info.listeningSocketOwners(ntohs(addr.sin_port)), (std::vector<quint32>{quint32(geteuid())}));
    ::close(own);
    EXPECT_TRUE(info.listeningSocketOwners(ntohs(addr.sin_port)).empty());
}
