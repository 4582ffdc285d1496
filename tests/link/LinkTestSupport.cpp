#include "LinkTestSupport.h"

#include "fakes/TestSupport.h"

#include <QtEndian>
#include <gtest/gtest.h>

#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void RecordingDelegate::ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                                            const PTData* payload) {
    Frame f{type, tag, payload != nullptr, payload ? payload->data() : QByteArray()};
    frames.push_back(f);
    if (onFrame) onFrame(channel, f);
}

bool RecordingDelegate::ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t,
                                                              uint32_t payloadSize) {
    asked.push_back(payloadSize);
    return accept ? accept(channel, type, payloadSize) : true;
}

void RecordingDelegate::ioFrameChannelDidEndWithError(PTChannel*, const OptError& error) {
    ++ends;
    endError = error;
}

void RecordingDelegate::ioFrameChannelDidAcceptConnection(PTChannel*, std::shared_ptr<PTChannel> channel,
                                                          const PTAddress&) {
    accepted.push_back(std::move(channel));
}

std::string errorText(const OptError& error, bool withText) {
    if (!error) return "nil";
    QString text = error->domain + QLatin1Char(' ') + QString::number(error->code);
    if (withText) text += QStringLiteral(": ") + error->description;
    return text.toStdString();
}

QByteArray rawFrameHeader(uint32_t version, uint32_t type, uint32_t tag, uint32_t payloadSize) {
    QByteArray h(16, Qt::Uninitialized);
    const uint32_t words[4] = {version, type, tag, payloadSize};
    for (int i = 0; i < 4; ++i)
        qToBigEndian<quint32>(words[i], h.data() + 4 * i);
    return h;
}

QByteArray rawFrame(uint32_t type, uint32_t tag, const QByteArray& payload, uint32_t version) {
    return rawFrameHeader(version, type, tag, uint32_t(payload.size())) + payload;
}

QByteArray readAvailable(int fd) {
    QByteArray out;
    char buf[65536];
    pollfd readable{fd, POLLIN, 0};
    ssize_t n;
    while (::poll(&readable, 1, 0) > 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, n);
    return out;
}

void sendAll(int fd, const QByteArray& bytes, const std::function<bool()>& stop) {
    qsizetype sent = 0;
    while (sent < bytes.size() && !(stop && stop())) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN)
            return;
        else
            spinEventLoop(1);
    }
}

RawPeer::RawPeer(PTChannelDelegate* delegate) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    fd = fds[1];
    channel = PTChannel::channelWithDelegate(delegate);
    OptError error;
    EXPECT_TRUE(channel->startReadingFromConnectedSocket(fds[0], &error));
    EXPECT_FALSE(error);
}

RawPeer::~RawPeer() {
    hangUp();
}

void RawPeer::hangUp() {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool RawPeer::closedByChannel() {
    char c;
    return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

TcpPair::TcpPair() {
    server = PTChannel::channelWithDelegate(&serverDelegate);
    client = PTChannel::channelWithDelegate(&clientDelegate);
    OptError listenError{Error::posix(-1)};
    server->listenOnPort(0, INADDR_LOOPBACK, [&](const OptError& e) { listenError = e; });
    EXPECT_FALSE(listenError);
    OptError connectError{Error::posix(-1)};
    bool connected = false;
    client->connectToPort(server->localPort(), INADDR_LOOPBACK, [&](const OptError& e, const PTAddress&) {
        connectError = e;
        connected = true;
    });
    EXPECT_TRUE(waitUntil([&] { return connected; }));
    EXPECT_FALSE(connectError);
    EXPECT_TRUE(waitUntil([&] { return !serverDelegate.accepted.empty(); }));
    if (!serverDelegate.accepted.empty()) accepted = serverDelegate.accepted.front();
}
