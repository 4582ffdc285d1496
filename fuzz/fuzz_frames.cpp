// Feeds arbitrary bytes to a channel's frame loop, as a peer would send them, and checks that every
// frame handed on is exactly the bytes its header announced, that the end comes once and always
// comes, and that nothing leaks.
#include "link/PTChannel.h"

#include <QCoreApplication>
#include <QtEndian>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_frames: %s\n", what);
    std::abort();
}

struct Checker : PTChannelDelegate {
    const uint8_t* input = nullptr;
    size_t size = 0;
    size_t offset = 0;        // where the next frame header starts in the input
    size_t payloadOffset = 0; // where the payload of the frame being offered starts
    uint32_t offeredSize = 0;
    bool offered = false;
    bool accepted = false;
    bool ended = false;
    OptError endError;

    uint8_t implementedOperations() const override { return kShouldAcceptFrame | kDidEndWithError; }

    bool ioFrameChannelShouldAcceptFrameOfType(PTChannel*, uint32_t type, uint32_t tag,
                                               uint32_t payloadSize) override {
        if (ended) fail("frame offered after the end");
        if (offered && accepted && offeredSize > 0) fail("new frame offered before the accepted one arrived");
        if (offset + 16 > size) fail("frame offered that the input does not hold");
        const uint8_t* h = input + offset;
        if (qFromBigEndian<uint32_t>(h) != 1 || qFromBigEndian<uint32_t>(h + 4) != type ||
            qFromBigEndian<uint32_t>(h + 8) != tag || qFromBigEndian<uint32_t>(h + 12) != payloadSize)
            fail("frame offered with other values than its header");
        if (type == 0) fail("type 0 offered as a frame");
        payloadOffset = offset + 16;
        offset = payloadOffset + payloadSize;
        offeredSize = payloadSize;
        offered = true;
        // Refuse some frames so that discarding is exercised as much as delivery.
        accepted = (type & 1) == 0;
        return accepted;
    }

    void ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t, uint32_t, const PTData* payload) override {
        if (ended) fail("frame delivered after the end");
        if (!offered || !accepted) fail("frame delivered that was not accepted");
        if ((payload == nullptr) != (offeredSize == 0)) fail("payload presence does not match the header");
        if (payload) {
            if (payload->length() != offeredSize) fail("payload size differs from the header");
            if (payloadOffset + offeredSize > size) fail("payload delivered that the input does not hold");
            if (std::memcmp(payload->data().constData(), input + payloadOffset, offeredSize) != 0)
                fail("payload bytes differ");
        }
        offered = false;
    }

    void ioFrameChannelDidEndWithError(PTChannel*, const OptError& error) override {
        if (ended) fail("end reported twice");
        if (error && error->domain != kPTProtocolErrorDomain) fail("unexpected error domain");
        ended = true;
        endError = error;
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fail("socketpair");
    // Inputs are small (a few KiB) and fit in the socket buffer, so the write never blocks.
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) fail("write to socketpair");
        sent += size_t(n);
    }
    ::close(fds[1]);

    Checker checker;
    checker.input = data;
    checker.size = size;
    {
        auto channel = PTChannel::channelWithDelegate(&checker);
        OptError error;
        if (!channel->startReadingFromConnectedSocket(fds[0], &error)) fail("start reading");
        for (int i = 0; !checker.ended; ++i) {
            if (i > 100000) fail("the channel never ended");
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        if (channel->connState() != PTChannel::kClosed) fail("ended but not closed");
        // A clean end means the input held whole frames only, up to its end or a frame of type 0.
        if (!checker.endError && checker.offered && checker.accepted && checker.offeredSize > 0)
            fail("clean end with an accepted frame undelivered");
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
