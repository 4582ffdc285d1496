#include "AgentRoad.h"

#include "session/LinkConnector.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

void AgentRoad::SetUp() {
    static int count = 0;
    daemon = std::make_unique<SimProcess>(QStringLiteral("agent-usbmuxd-%1").arg(++count));
    ASSERT_TRUE(daemon->started()) << daemon->transcript().toStdString();

    refusedSocket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(refusedSocket_, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(bind(refusedSocket_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(getsockname(refusedSocket_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    refusedPort_ = ntohs(addr.sin_port);

    controller = std::make_unique<CaptureController>(
        info, std::make_unique<HubLinkConnector>(UsbmuxAddress::unixSocket(daemon->path())));
    controller->setLoopbackPort(refusedPort_);
    controller->setDelegate(&delegate);
    controller->setupLink();
    ASSERT_FALSE(daemon->waitForLine("listen").isEmpty()) << daemon->transcript().toStdString();
}

void AgentRoad::TearDown() {
    controller.reset();
    daemon.reset();
    if (refusedSocket_ >= 0) ::close(refusedSocket_);
}

std::unique_ptr<DeviceSimProcess> AgentRoad::startDevice(const QString& script) {
    auto device = std::make_unique<DeviceSimProcess>(script, QStringList{"--control", "-"});
    EXPECT_TRUE(device->listening()) << device->process().transcript().toStdString();
    return device;
}

void AgentRoad::attach(qint64 id, uint16_t port) {
    daemon->command(QStringLiteral("attach %1 %2").arg(id).arg(port));
    EXPECT_FALSE(daemon->waitForLine(QStringLiteral("attached %1").arg(id)).isEmpty());
}

bool AgentRoad::waitIntroduced(int timeoutMs) {
    return waitUntil([&] { return controller->currentChannel() == 1; }, timeoutMs);
}
