// Arbitrary bytes as the usbmux daemon's side of a listening connection that also waits for an
// answer to a second request. Whatever comes, each waiting request hears exactly once, the
// connection ends (the input is finite), no read is left outstanding, and the socket is released.

#include "link/PTUSBChannel.h"

#include <QCoreApplication>
#include <QVariantMap>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // More than the socket buffer would need a writer that waits; the reader's limits are the point.
    if (size > 64 * 1024) return 0;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    const int daemon = fds[1];
    if (size > 0) check(::write(daemon, data, size) == ssize_t(size));
    ::shutdown(daemon, SHUT_WR);

    int listenAnswers = 0, requestAnswers = 0, broadcasts = 0, cleanups = 0;
    {
        auto channel = PTUSBChannel::create();
        channel->openWithDescriptor(fds[0], [&](const OptError&) { ++cleanups; });
        channel->listenWithBroadcastHandler([&](const QVariantMap&) { ++broadcasts; },
                                            [&](const OptError&) { ++listenAnswers; });
        channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType(QStringLiteral("ListDevices")),
                             [&](const OptError& error, const std::optional<QVariantMap>& answer) {
                                 ++requestAnswers;
                                 // An answer comes with no error, or an error comes with no answer.
                                 check(!(error && answer));
                             });
        int spins = 0;
        while (cleanups == 0) {
            check(++spins < 200000);
            QCoreApplication::processEvents();
        }
        check(channel->hasEnded());
        check(!channel->isReadingPackets());
        check(channel->pendingRequestCount() == 0);
    }
    QCoreApplication::processEvents();
    check(listenAnswers == 1 && requestAnswers == 1 && cleanups == 1);
    check(broadcasts <= int(size / 16));
    ::close(daemon);
    return 0;
}
