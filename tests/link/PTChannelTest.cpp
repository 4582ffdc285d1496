#include "LinkTestSupport.h"

#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "link/PTProtocol.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What a delegate heard, in one line: "type/tag:payload" per frame ("-" for a null payload).
std::string heard(const RecordingDelegate& d) {
    QByteArray out;
    for (const auto& f : d.frames)
        out += QByteArray::number(f.type) + '/' + QByteArray::number(f.tag) + ':' +
               (f.hasPayload ? (f.payload.size() > 16 ? QByteArray::number(f.payload.size()) : f.payload)
                             : QByteArray("-")) +
               ' ';
    return out.trimmed().toStdString();
}

QByteArray pattern(qsizetype size) {
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 131) >> 3);
    return b;
}

// A TCP socket bound to a free port on 127.0.0.1, listening with the given backlog, or not at all (-1).
int loopbackSocket(sockaddr_in& addr, int backlog) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    if (backlog >= 0) {
        EXPECT_EQ(::listen(fd, backlog), 0);
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return fd;
}

} // namespace

// What a stream of bytes from the peer becomes: the frames delivered, the sizes the delegate was asked
// about, and how the channel ended, told once. Nothing truncated is ever delivered; a refused frame is
// skipped without breaking the framing; an oversized frame ends the channel from its header alone (the
// peer stays open and sends no payload); type 0 ends it cleanly and nothing after it is read.
TEST(PTChannelReading, EachStreamGivesItsFramesAndItsEnd) {
    const QByteArray big = pattern(1000 * 1000);
    const struct {
        const char* what;
        bool hangUp;
        const char* end;
        const char* asked;
        const char* frames;
        QByteArray bytes;
        qsizetype pauseAt; // the bytes arrive in two pieces, split here
    } cases[] = {
        {"in order, one in pieces, then a hang-up between frames", true, "nil", "5 0 1",
         "100/7:hello 102/0:- 101/3:x",
         rawFrame(100, 7, "hello") + rawFrame(102, 0, {}) + rawFrame(101, 3, "x"), 21 + 16 + 9},
        {"version 2", true, "PTProtocolError 0", "3", "100/0:abc",
         rawFrame(100, 0, "abc") + rawFrame(101, 0, "abc", 2), 0},
        {"header cut short", true, "PTProtocolError 0", "3", "100/0:abc",
         rawFrame(100, 0, "abc") + rawFrame(101, 0, {}).left(10), 0},
        {"payload cut short", true, "PTProtocolError 0", "100", "",
         rawFrame(100, 0, QByteArray(100, 'p')).left(76), 0},
        {"one byte over the largest payload", false, "PTProtocolError 0", "", "",
         rawFrameHeader(1, 100, 0, PTProtocol::kMaxPayloadSize + 1), 0},
        {"type 0", false, "nil", "1", "100/1:a",
         rawFrame(100, 1, "a") + rawFrame(0, 9, {}) + rawFrame(100, 2, "b"), 0},
        {"refused frames skipped", true, "nil", "1000000 0 3000", "100/4:3000",
         rawFrame(200, 0, big) + rawFrame(200, 0, {}) + rawFrame(100, 4, pattern(3000)), 0},
        {"a refused frame cut short", true, "nil", "500", "", rawFrame(200, 0, pattern(500)).left(300), 0},
    };
    const int before = openDescriptorCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingDelegate d;
        d.accept = [](PTChannel*, uint32_t type, uint32_t) { return type != 200; };
        {
            RawPeer peer(&d);
            peer.send(c.bytes.left(c.pauseAt ? c.pauseAt : c.bytes.size()));
            spinEventLoop(20);
            peer.send(c.bytes.mid(c.pauseAt ? c.pauseAt : c.bytes.size()));
            if (c.hangUp) peer.hangUp();
            ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
            spinEventLoop(10);
            EXPECT_EQ(peer.channel->connState(), PTChannel::kClosed);
        }
        EXPECT_EQ(d.ends, 1);
        EXPECT_EQ(errorText(d.endError), c.end);
        EXPECT_EQ(heard(d), c.frames);
        QStringList asked;
        for (uint32_t size : d.asked)
            asked << QString::number(size);
        EXPECT_EQ(asked.join(u' ').toStdString(), c.asked);
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

// A delegate that drops its channel while a frame is delivered hears nothing more, and the peer sees the
// connection end; one that closes and drops it at once (as the link does when it shuts down) still hears
// of its end. (Closing from shouldAccept, as the session does for a frame type it does not know, is
// driven by tests/integration/ChurnTest.)
TEST(PTChannelReading, DelegateMayDropTheChannelFromItsCallbacks) {
    {
        RecordingDelegate d;
        RawPeer* peerPtr = nullptr;
        d.onFrame = [&](PTChannel*, const RecordingDelegate::Frame&) { peerPtr->channel.reset(); };
        RawPeer peer(&d);
        peerPtr = &peer;
        peer.send(rawFrame(100, 0, "one") + rawFrame(100, 0, "two"));
        ASSERT_TRUE(waitUntil([&] { return !d.frames.empty(); }));
        spinEventLoop(20);
        EXPECT_EQ(heard(d), "100/0:one");
        EXPECT_EQ(d.ends, 0) << "a dropped channel tells nobody";
        EXPECT_TRUE(waitUntil([&] { return peer.closedByChannel(); })) << "the peer sees the connection end";
    }
    {
        // As the link does when it shuts down: closed, then let go at once. Its end is still told.
        RecordingDelegate d;
        RawPeer peer(&d);
        peer.channel->close();
        peer.channel.reset();
        ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
        EXPECT_FALSE(d.endError);
    }
}

// The link's own use of TCP is driven end to end by the agent road (tests/integration); here what it
// cannot show: calls in the wrong state, and each side's end told once.
TEST(PTChannelTcp, CallsInTheWrongStateFailWithCodeOneAndEachEndIsToldOnce) {
    const int before = openDescriptorCount();
    {
        TcpPair p;
        ASSERT_TRUE(p.accepted);
        EXPECT_TRUE(p.server->isListening());
        EXPECT_EQ(p.client->connState(), PTChannel::kConnected);

        std::vector<std::string> wrong;
        p.client->connectToPort(p.server->localPort(), INADDR_LOOPBACK,
                                [&](const OptError& e, const PTAddress&) { wrong.push_back(errorText(e)); });
        p.client->listenOnPort(0, INADDR_LOOPBACK, [&](const OptError& e) { wrong.push_back(errorText(e)); });
        OptError read;
        EXPECT_FALSE(p.server->startReadingFromConnectedChannel(nullptr, &read));
        wrong.push_back(errorText(read));
        EXPECT_EQ(wrong, std::vector<std::string>(3, "NSPOSIXErrorDomain 1"));

        p.client->sendFrameOfType(104, 1, "still here", nullptr);
        p.accepted->sendFrameOfType(101, 13, "reply", nullptr);
        ASSERT_TRUE(waitUntil([&] { return heard(p.serverDelegate) == "104/1:still here"; }));
        ASSERT_TRUE(waitUntil([&] { return heard(p.clientDelegate) == "101/13:reply"; }));

        p.client->close();
        EXPECT_EQ(p.client->connState(), PTChannel::kClosed);
        std::string sent = "not called";
        p.client->sendFrameOfType(104, 2, "lost", [&](const OptError& e) { sent = errorText(e); });
        EXPECT_EQ(sent, "NSPOSIXErrorDomain 1");
        ASSERT_TRUE(waitUntil([&] { return p.serverDelegate.ends == 1 && p.clientDelegate.ends == 1; }));
        EXPECT_EQ(heard(p.serverDelegate), "104/1:still here") << "nothing was written after the close";
        EXPECT_FALSE(p.serverDelegate.endError);
        EXPECT_FALSE(p.clientDelegate.endError);

        p.server->close();
        EXPECT_TRUE(p.server->isListening()) << "a listening channel closes from its source's cancel";
        ASSERT_TRUE(waitUntil([&] { return p.serverDelegate.ends == 2; }));
        EXPECT_EQ(p.server->connState(), PTChannel::kClosed);
        spinEventLoop(20);
        EXPECT_EQ(p.serverDelegate.ends + p.clientDelegate.ends, 3);
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

// A refused connect, a handshake nobody answers (a listener whose accept queue is full: the connect must
// neither block the caller nor wait for the kernel's minutes of retries), a port in use, and a listener
// without an accept delegate: each leaves the channel closed, tells no end and keeps nothing open.
TEST(PTChannelTcp, FailedConnectsAndListensLeaveNothingBehind) {
    const int before = openDescriptorCount();
    {
        ManualClock clock;
        RecordingDelegate d;
        sockaddr_in refusing, full;
        const int holder = loopbackSocket(refusing, -1);
        const int listener = loopbackSocket(full, 0);
        std::vector<int> fillers;
        for (int i = 0; i < 3; ++i) {
            fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&full), sizeof full);
        }
        spinEventLoop(50);
        for (const auto& [addr, expected] : {std::pair{refusing, ECONNREFUSED}, std::pair{full, ETIMEDOUT}}) {
            SCOPED_TRACE(expected);
            auto channel = PTChannel::channelWithDelegate(&d);
            OptError error;
            PTAddress address = PTAddress::ipv4(1, 1);
            channel->connectToPort(ntohs(addr.sin_port), INADDR_LOOPBACK,
                                   [&](const OptError& e, const PTAddress& a) {
                                       error = e;
                                       address = a;
                                   });
            spinEventLoop(50);
            if (expected == ETIMEDOUT) {
                EXPECT_FALSE(error) << "the handshake cannot have completed";
                EXPECT_EQ(channel->connState(), PTChannel::kConnecting);
                clock.advance(PTChannel::kConnectTimeout);
            }
            ASSERT_TRUE(waitUntil([&] { return error.has_value(); }));
            EXPECT_EQ(errorText(error), "NSPOSIXErrorDomain " + std::to_string(expected));
            EXPECT_TRUE(address.isEmpty());
            EXPECT_EQ(channel->connState(), PTChannel::kClosed);
        }
        for (int fd : fillers)
            ::close(fd);
        ::close(listener);
        ::close(holder);

        // `first` does not take connections: its delegate lacks the accept operation.
        RecordingDelegate noAccept, clientDelegate;
        noAccept.operations = PTChannelDelegate::kDidEndWithError;
        auto first = PTChannel::channelWithDelegate(&noAccept);
        first->listenOnPort(0, INADDR_LOOPBACK, [](const OptError& e) { EXPECT_FALSE(e); });
        auto second = PTChannel::channelWithDelegate(&d);
        OptError inUse;
        second->listenOnPort(first->localPort(), INADDR_LOOPBACK, [&](const OptError& e) { inUse = e; });
        EXPECT_EQ(errorText(inUse), "NSPOSIXErrorDomain " + std::to_string(EADDRINUSE));
        EXPECT_EQ(second->connState(), PTChannel::kClosed);
        auto client = PTChannel::channelWithDelegate(&clientDelegate);
        client->connectToPort(first->localPort(), INADDR_LOOPBACK,
                              [](const OptError& e, const PTAddress&) { EXPECT_FALSE(e); });
        ASSERT_TRUE(waitUntil([&] { return clientDelegate.ends == 1; }));
        EXPECT_FALSE(clientDelegate.endError);
        EXPECT_TRUE(noAccept.accepted.empty());
        EXPECT_EQ(d.ends, 0) << "an attempt that failed never was a connection";
        first->cancel();
        ASSERT_TRUE(waitUntil([&] { return noAccept.ends == 1; }));
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}
