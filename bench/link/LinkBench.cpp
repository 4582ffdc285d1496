// Frames per second and MB/s through a pair of PTChannels over loopback TCP, each end in its own
// process, against a plain blocking write/read loop of the same bytes measured in the same run.
//
//   bench_link [frames of 100 B] [frames of 1 MiB]
#include "link/PTChannel.h"
#include "link/PTProtocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr uint32_t kType = 104;
constexpr int kRepeats = 5;

// Wall time of one run, and the processor time each side spent on it: the wall time follows the
// load of a shared machine, the processor time much less so.
struct Run {
    double seconds = 0;
    double receiverCpu = 0;
    double senderCpu = 0;
};

double cpuSeconds(const rusage& u) {
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double selfCpu() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return cpuSeconds(u);
}

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(2);
}

QByteArray payloadOf(size_t size) {
    QByteArray p(qsizetype(size), Qt::Uninitialized);
    for (qsizetype i = 0; i < p.size(); ++i)
        p[i] = char(i * 7);
    return p;
}

// ---- the plain loop: blocking writev of header and payload, blocking exact reads ----

int plainListen(uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 1) != 0) die("listen");
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

void readExactly(int fd, char* buf, size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, buf, n);
        if (got <= 0) die("plain read");
        buf += got;
        n -= size_t(got);
    }
}

int plainSender(uint16_t port, size_t size, long count) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) die("plain connect");
    const QByteArray header = PTProtocol::headerWithFrameOfType(kType, 0, uint32_t(size));
    const QByteArray payload = payloadOf(size);
    for (long i = 0; i < count; ++i) {
        iovec iov[2] = {{const_cast<char*>(header.constData()), 16},
                        {const_cast<char*>(payload.constData()), size}};
        size_t left = 16 + size;
        int first = 0;
        while (left > 0) {
            const ssize_t n = ::writev(fd, iov + first, 2 - first);
            if (n <= 0) die("plain write");
            left -= size_t(n);
            size_t adv = size_t(n);
            while (first < 2 && adv >= iov[first].iov_len)
                adv -= iov[first++].iov_len;
            if (first < 2) {
                iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + adv;
                iov[first].iov_len -= adv;
            }
        }
    }
    ::close(fd);
    return 0;
}

// ---- PTChannel sender ----

struct Sender : PTChannelDelegate {
    void ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t, uint32_t, const PTData*) override {}
};

int channelSender(uint16_t port, size_t size, long count) {
    Sender delegate;
    auto channel = PTChannel::channelWithDelegate(&delegate);
    OptError error;
    bool answered = false;
    channel->connectToPort(port, INADDR_LOOPBACK, [&](const OptError& e, const PTAddress&) {
        error = e;
        answered = true;
    });
    while (!answered)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (error) die("channel connect");
    const QByteArray payload = payloadOf(size);
    // Frames in flight: enough to keep the socket full, as an encoder or an input burst would.
    const long window = size >= 65536 ? 8 : 4096;
    long sent = 0, done = 0;
    std::function<void()> pump;
    auto completed = [&](const OptError& e) {
        if (e) die("channel send");
        ++done;
        pump();
    };
    pump = [&]() {
        while (sent < count && sent - done < window) {
            ++sent;
            channel->sendFrameOfType(kType, 0, payload, completed);
        }
    };
    pump();
    while (done < count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return 0;
}

// ---- the measuring side ----

pid_t spawnChild(const char* mode, uint16_t port, size_t size, long count) {
    const std::string p = std::to_string(port), s = std::to_string(size), c = std::to_string(count);
    char* argv[] = {const_cast<char*>("bench_link"),
                    const_cast<char*>("--child"),
                    const_cast<char*>(mode),
                    const_cast<char*>(p.c_str()),
                    const_cast<char*>(s.c_str()),
                    const_cast<char*>(c.c_str()),
                    nullptr};
    pid_t pid;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, environ) != 0) die("spawn");
    return pid;
}

// The sender's processor time.
double reap(pid_t pid) {
    int status = 0;
    rusage u{};
    ::wait4(pid, &status, 0, &u);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "bench_link: sender failed\n");
        std::exit(2);
    }
    return cpuSeconds(u);
}

// Receiving `count` frames through a plain blocking loop.
Run measurePlain(size_t size, long count) {
    uint16_t port = 0;
    const int listener = plainListen(&port);
    const pid_t child = spawnChild("plain", port, size, count);
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) die("accept");
    QElapsedTimer timer;
    timer.start();
    const double cpu = selfCpu();
    char header[16];
    QByteArray payload(qsizetype(size), Qt::Uninitialized);
    for (long i = 0; i < count; ++i) {
        readExactly(fd, header, 16);
        const uint32_t n = qFromBigEndian<uint32_t>(header + 12);
        if (n != size) die("plain frame size");
        readExactly(fd, payload.data(), n);
    }
    Run run;
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.receiverCpu = selfCpu() - cpu;
    ::close(fd);
    ::close(listener);
    run.senderCpu = reap(child);
    return run;
}

struct Receiver : PTChannelDelegate {
    size_t expected = 0;
    long count = 0, target = 0;
    bool ended = false;
    std::shared_ptr<PTChannel> connection;
    QElapsedTimer timer;
    double cpuAtStart = 0;
    Run run;

    uint8_t implementedOperations() const override { return kDidAcceptConnection | kDidEndWithError; }
    void ioFrameChannelDidAcceptConnection(PTChannel*, std::shared_ptr<PTChannel> channel,
                                           const PTAddress&) override {
        connection = std::move(channel);
        timer.start();
        cpuAtStart = selfCpu();
    }
    void ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t, uint32_t, const PTData* payload) override {
        if (!payload || payload->length() != expected) die("channel frame size");
        if (++count == target) {
            run.seconds = double(timer.nsecsElapsed()) / 1e9;
            run.receiverCpu = selfCpu() - cpuAtStart;
        }
    }
    void ioFrameChannelDidEndWithError(PTChannel*, const OptError&) override { ended = true; }
};

Run measureChannel(size_t size, long count) {
    Receiver receiver;
    receiver.expected = size;
    receiver.target = count;
    auto server = PTChannel::channelWithDelegate(&receiver);
    server->listenOnPort(0, INADDR_LOOPBACK, [](const OptError& e) {
        if (e) die("channel listen");
    });
    const pid_t child = spawnChild("channel", server->localPort(), size, count);
    while (receiver.count < count)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    receiver.run.senderCpu = reap(child);
    receiver.connection.reset();
    server->close();
    while (!receiver.ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return receiver.run;
}

// Best of the runs for wall time and for each side's processor time.
Run best(Run a, const Run& b) {
    a.seconds = std::min(a.seconds, b.seconds);
    a.receiverCpu = std::min(a.receiverCpu, b.receiverCpu);
    a.senderCpu = std::min(a.senderCpu, b.senderCpu);
    return a;
}

void report(const char* label, size_t size, long count) {
    Run plain{1e9, 1e9, 1e9}, channel{1e9, 1e9, 1e9};
    for (int i = 0; i < kRepeats; ++i) {
        plain = best(plain, measurePlain(size, count));
        channel = best(channel, measureChannel(size, count));
    }
    const double bytes = double(count) * double(16 + size);
    auto us = [count](double seconds) { return seconds * 1e6 / double(count); };
    std::printf("%-6s plain %9.0f frames/s %7.1f MB/s | PTChannel %9.0f frames/s %7.1f MB/s | ratio %.2f\n",
                label, double(count) / plain.seconds, bytes / plain.seconds / 1e6,
                double(count) / channel.seconds, bytes / channel.seconds / 1e6,
                plain.seconds / channel.seconds);
    std::printf(
        "%-6s processor time per frame, receiver + sender: plain %.2f + %.2f us | PTChannel %.2f + %.2f us\n",
        "", us(plain.receiverCpu), us(plain.senderCpu), us(channel.receiverCpu), us(channel.senderCpu));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "--child") == 0) {
        const auto port = uint16_t(std::atoi(argv[3]));
        const auto size = size_t(std::atoll(argv[4]));
        const long count = std::atol(argv[5]);
        return std::strcmp(argv[2], "plain") == 0 ? plainSender(port, size, count)
                                                  : channelSender(port, size, count);
    }
    const long small = argc > 1 ? std::atol(argv[1]) : 300000;
    const long large = argc > 2 ? std::atol(argv[2]) : 500;
    std::printf("loopback TCP, sender and receiver in separate processes, best of %d runs; ratio = PTChannel "
                "throughput / plain throughput\n",
                kRepeats);
    report("100 B", 100, small);
    report("1 MiB", 1 << 20, large);
    std::printf("aims: 100 B frames >= 200000 frames/s through PTChannel; 1 MiB frames ratio >= 0.90\n");
    return 0;
}
