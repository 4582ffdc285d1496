#include "platform/linux/LinuxSystemInfo.h"

#include "fakes/TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

void writeFile(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

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

TEST(LinuxSystemInfo, ReadsTheDistributionVersionAndTheMachineModel) {
    const QString root = tempPath("root-full");
    writeFile(root + "/etc/os-release",
              "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n");
    writeFile(root + "/sys/class/dmi/id/product_name", "Standard PC (Q35 + ICH9, 2009)\n");
    writeFile(root + "/sys/class/dmi/id/sys_vendor", "QEMU\n");
    LinuxSystemInfo info(root);
    EXPECT_EQ(info.osVersionString(), "12");
    EXPECT_EQ(info.machineModel(), "Standard PC (Q35 + ICH9, 2009)");
}

TEST(LinuxSystemInfo, FallsBackWhenFilesAreMissingOrEmpty) {
    const QString root = tempPath("root-sparse");
    writeFile(root + "/usr/lib/os-release", "ID=ubuntu\nVERSION_ID='22.04'\n");
    writeFile(root + "/sys/class/dmi/id/product_name", "\n");
    writeFile(root + "/sys/class/dmi/id/board_name", "X570 AORUS\n");
    LinuxSystemInfo info(root);
    EXPECT_EQ(info.osVersionString(), "22.04");
    EXPECT_EQ(info.machineModel(), "X570 AORUS");

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

TEST(LinuxSystemInfo, TheRealTableNamesTheListenersUser) {
    // Our own listener.
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

    if (geteuid() != 0) GTEST_SKIP() << "a listener under another user needs root to make";
    // A listener made by another user (nobody) in a child process.
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t l = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l) != 0)
            _exit(2);
        const uint16_t port = ntohs(a.sin_port);
        if (write(ready[1], &port, sizeof port) != sizeof port) _exit(3);
        char byte;
        (void)!read(release[0], &byte, 1); // until the parent is done looking
        _exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    uint16_t port = 0;
    ASSERT_EQ(read(ready[0], &port, sizeof port), ssize_t(sizeof port));
    EXPECT_EQ(info.listeningSocketOwners(port), (std::vector<quint32>{65534}));
    ::close(release[1]);
    ::close(ready[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
