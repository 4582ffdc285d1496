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

bool isProtocolError(const OptError& e) {
    return e && e->domain == "PTProtocolError" && e->code == 0;
}

QByteArray pattern(qsizetype size, int seed) {
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 131 + seed) >> 3);
    return b;
}

} // namespace

TEST(PTChannelReading, FramesArriveInOrderAndAClosBetweenFramesEndsCleanly) {
    const int before = openDescriptorCount();
    {
        RecordingDelegate d;
        RawPeer peer(&d);
        peer.send(rawFrame(100, 7, "hello") + rawFrame(102, 0, {}));
        peer.send(rawFrame(101, 3, "x").left(9)); // a frame in pieces
        spinEventLoop(20);
        peer.send(rawFrame(101, 3, "x").mid(9));
        ASSERT_TRUE(waitUntil([&] { return d.frames.size() == 3; }));
        EXPECT_EQ(d.frames[0].type, 100u);
        EXPECT_EQ(d.frames[0].tag, 7u);
        EXPECT_EQ(d.frames[0].payload, "hello");
        EXPECT_FALSE(d.frames[1].hasPayload) << "an accepted frame of size 0 comes with a null payload";
        EXPECT_EQ(d.frames[2].payload, "x");
        EXPECT_EQ(d.ends, 0);
        peer.hangUp();
        ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
        spinEventLoop(20);
        EXPECT_EQ(d.ends, 1);
        EXPECT_FALSE(d.endError);
        EXPECT_EQ(peer.channel->connState(), PTChannel::kClosed);
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(PTChannelReading, MalformedStreamsEndWithAProtocolError) {
    struct Case {
        const char* what;
        QByteArray bytes;
        size_t framesBefore;
    };
    const Case cases[] = {
        {"version 2", rawFrame(100, 0, "abc") + rawFrame(101, 0, "abc", 2), 1},
        {"header cut short", rawFrame(100, 0, "abc") + rawFrame(101, 0, {}).left(10), 1},
        {"payload cut short", rawFrame(100, 0, QByteArray(100, 'p')).left(16 + 60), 0},
        {"payload announced but none came", rawFrameHeader(1, 100, 0, 5), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingDelegate d;
        RawPeer peer(&d);
        peer.send(c.bytes);
        peer.hangUp();
        ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
        spinEventLoop(10);
        EXPECT_EQ(d.ends, 1);
        EXPECT_TRUE(isProtocolError(d.endError))
            << (d.endError ? d.endError->toString() : "nil").toStdString();
        EXPECT_EQ(d.frames.size(), c.framesBefore) << "nothing truncated may be delivered";
    }
}

TEST(PTChannelReading, OversizedFramesEndTheChannelWithoutWaitingForTheirPayload) {
    for (uint32_t size : {0xffffffffu, PTProtocol::kMaxPayloadSize + 1}) {
        RecordingDelegate d;
        RawPeer peer(&d);
        // The peer stays open and sends no payload: only the header can end the channel.
        peer.send(rawFrameHeader(1, 100, 0, size));
        ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
        EXPECT_TRUE(isProtocolError(d.endError));
        EXPECT_TRUE(d.asked.empty()) << "the delegate is not asked about a frame that cannot be taken";
        EXPECT_TRUE(d.frames.empty());
    }
}

TEST(PTChannelReading, TypeZeroEndsTheStreamAndNothingAfterItIsRead) {
    RecordingDelegate d;
    RawPeer peer(&d);
    peer.send(rawFrame(100, 1, "a") + rawFrame(0, 9, {}) + rawFrame(100, 2, "b"));
    ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
    EXPECT_FALSE(d.endError);
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0].payload, "a");
}

TEST(PTChannelReading, RefusedFramesAreSkippedAndTheStreamStaysInStep) {
    RecordingDelegate d;
    d.accept = [](PTChannel*, uint32_t type, uint32_t) { return type != 200; };
    RawPeer peer(&d);
    const QByteArray after = pattern(3000, 1);
    peer.send(rawFrame(200, 0, pattern(1000 * 1000, 2)) + rawFrame(200, 0, {}) + rawFrame(100, 4, after));
    ASSERT_TRUE(waitUntil([&] { return !d.frames.empty(); }));
    ASSERT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.frames[0].type, 100u);
    EXPECT_EQ(d.frames[0].tag, 4u);
    EXPECT_TRUE(d.frames[0].payload == after);
    EXPECT_EQ(d.asked, (std::vector<uint32_t>{1000 * 1000, 0, 3000}));

    // A refused frame cut short ends the stream: no error, nothing delivered.
    peer.send(rawFrame(200, 0, pattern(500, 3)).left(300));
    peer.hangUp();
    ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
    EXPECT_EQ(d.frames.size(), 1u);
}

TEST(PTChannelReading, DelegateMayCloseOrDropTheChannelFromItsCallbacks) {
    {
        // As the session controller does for a frame type it does not know.
        RecordingDelegate d;
        d.accept = [](PTChannel* ch, uint32_t type, uint32_t) {
            if (type == 100) return true;
            ch->close();
            return false;
        };
        RawPeer peer(&d);
        peer.send(rawFrame(100, 0, "ok") + rawFrame(555, 0, "unknown") + rawFrame(100, 0, "late"));
        ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
        spinEventLoop(20);
        EXPECT_EQ(d.ends, 1);
        EXPECT_FALSE(d.endError) << "a close by the owner is not a read error";
        ASSERT_EQ(d.frames.size(), 1u);
        EXPECT_EQ(peer.channel->connState(), PTChannel::kClosed);
    }
    {
        RecordingDelegate d;
        RawPeer* peerPtr = nullptr;
        d.onFrame = [&](PTChannel*, const RecordingDelegate::Frame&) { peerPtr->channel.reset(); };
        RawPeer peer(&d);
        peerPtr = &peer;
        peer.send(rawFrame(100, 0, "one") + rawFrame(100, 0, "two"));
        ASSERT_TRUE(waitUntil([&] { return !d.frames.empty(); }));
        spinEventLoop(20);
        EXPECT_EQ(d.frames.size(), 1u);
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

TEST(PTChannelTcp, ListenAcceptAndExchangeFramesBothWays) {
    const int before = openDescriptorCount();
    {
        TcpPair p;
        ASSERT_TRUE(p.accepted);
        EXPECT_NE(p.server->localPort(), 0);
        EXPECT_TRUE(p.server->isListening());
        EXPECT_TRUE(p.client->isConnected());
        EXPECT_TRUE(p.server->description().endsWith("(listening)>"));
        const QString prefix =
            QString::asprintf("<PTChannel: %p (connected)", static_cast<void*>(p.client.get()));
        EXPECT_EQ(p.client->description(), prefix + ">");
        p.client->setUserInfo(QString("usb"));
        EXPECT_EQ(p.client->description(), prefix + " usb>");
        p.client->setUserInfo(QVariant::fromValue(PTAddress::ipv4(INADDR_LOOPBACK, 23481)));
        EXPECT_EQ(p.client->description(), prefix + " 127.0.0.1:23481>");
        EXPECT_EQ(p.serverDelegate.acceptedFrom.front().section(':', 0, 0), "127.0.0.1");

        const QByteArray big = pattern(3 * 1024 * 1024 + 5, 9);
        std::vector<OptError> results;
        auto record = [&](const OptError& e) { results.push_back(e); };
        p.client->sendFrameOfType(104, 11, "event", record);
        p.client->sendFrameOfType(107, 12, big, record);
        p.client->sendFrameOfType(102, 0, {}, record);
        p.accepted->sendFrameOfType(101, 13, "reply", record);
        ASSERT_TRUE(waitUntil([&] {
            return p.serverDelegate.frames.size() == 3 && p.clientDelegate.frames.size() == 1 &&
                   results.size() == 4;
        }));
        for (const OptError& e : results)
            EXPECT_FALSE(e);
        EXPECT_EQ(p.serverDelegate.frames[0].payload, "event");
        EXPECT_TRUE(p.serverDelegate.frames[1].payload == big);
        EXPECT_EQ(p.serverDelegate.frames[2].tag, 0u);
        EXPECT_EQ(p.clientDelegate.frames[0].tag, 13u);

        // The client hangs up gracefully: its peer ends without error, each side exactly once.
        p.client->sendFrameOfType(0, 0, {}, nullptr);
        ASSERT_TRUE(waitUntil([&] { return p.serverDelegate.ends == 1 && p.clientDelegate.ends == 1; }));
        EXPECT_FALSE(p.serverDelegate.endError);
        EXPECT_FALSE(p.clientDelegate.endError);

        p.server->close();
        EXPECT_TRUE(p.server->isListening()) << "a listening channel closes from its source's cancel";
        ASSERT_TRUE(waitUntil([&] { return p.serverDelegate.ends == 2; }));
        EXPECT_EQ(p.server->connState(), PTChannel::kClosed);
        spinEventLoop(20);
        EXPECT_EQ(p.serverDelegate.ends, 2);
        EXPECT_EQ(p.clientDelegate.ends, 1);
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(PTChannelTcp, CallsInTheWrongStateFailWithCodeOne) {
    TcpPair p;
    ASSERT_TRUE(p.accepted);
    OptError again;
    p.client->connectToPort(p.server->localPort(), INADDR_LOOPBACK,
                            [&](const OptError& e, const PTAddress&) { again = e; });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(again->code, 1);
    OptError listen;
    p.client->listenOnPort(0, INADDR_LOOPBACK, [&](const OptError& e) { listen = e; });
    EXPECT_EQ(listen ? listen->code : 0, 1);
    OptError read;
    EXPECT_FALSE(p.server->startReadingFromConnectedChannel(nullptr, &read));
    EXPECT_EQ(read ? read->code : 0, 1);

    // The connection itself is untouched.
    p.client->sendFrameOfType(104, 1, "still here", nullptr);
    ASSERT_TRUE(waitUntil([&] { return !p.serverDelegate.frames.empty(); }));

    p.client->close();
    EXPECT_EQ(p.client->connState(), PTChannel::kClosed);
    OptError sent;
    bool called = false;
    p.client->sendFrameOfType(104, 2, "lost", [&](const OptError& e) {
        called = true;
        sent = e;
    });
    EXPECT_TRUE(called);
    EXPECT_EQ(sent ? sent->code : 0, 1);
    ASSERT_TRUE(waitUntil([&] { return p.serverDelegate.ends == 1; }));
    EXPECT_EQ(p.serverDelegate.frames.size(), 1u) << "nothing was written after the close";
    EXPECT_EQ(p.clientDelegate.ends, 1);
    EXPECT_FALSE(p.clientDelegate.endError);
}

TEST(PTChannelTcp, ConnectingWhereNobodyListensIsRefused) {
    // A port that is bound but not listening refuses connections.
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len);

    RecordingDelegate d;
    auto channel = PTChannel::channelWithDelegate(&d);
    OptError error;
    PTAddress address = PTAddress::ipv4(1, 1);
    channel->connectToPort(ntohs(addr.sin_port), INADDR_LOOPBACK, [&](const OptError& e, const PTAddress& a) {
        error = e;
        address = a;
    });
    ASSERT_TRUE(waitUntil([&] { return error.has_value(); }));
    ::close(holder);
    EXPECT_EQ(error->domain, "NSPOSIXErrorDomain");
    EXPECT_EQ(error->code, ECONNREFUSED);
    EXPECT_TRUE(address.isEmpty());
    EXPECT_EQ(channel->connState(), PTChannel::kClosed);
    spinEventLoop(20);
    EXPECT_EQ(d.ends, 0) << "an attempt that failed never was a connection";
}

// A listener that never accepts, with its queue full, leaves the handshake unanswered: the connect
// must neither block the caller nor wait for the kernel's minutes of retries.
TEST(PTChannelTcp, AConnectThatHangsGivesUpWithoutBlocking) {
    const int before = openDescriptorCount();
    {
        ManualClock clock;
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::listen(listener, 0), 0);
        socklen_t len = sizeof addr;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        // Fill the accept queue: later handshakes go unanswered.
        std::vector<int> fillers;
        for (int i = 0; i < 3; ++i) {
            fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            ::connect(fillers.back(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        }
        spinEventLoop(50);

        RecordingDelegate d;
        auto channel = PTChannel::channelWithDelegate(&d);
        OptError error;
        bool called = false;
        channel->connectToPort(ntohs(addr.sin_port), INADDR_LOOPBACK,
                               [&](const OptError& e, const PTAddress&) {
                                   called = true;
                                   error = e;
                               });
        spinEventLoop(50);
        EXPECT_FALSE(called) << "the handshake cannot have completed";
        EXPECT_EQ(channel->connState(), PTChannel::kConnecting);
        clock.advance(PTChannel::kConnectTimeout);
        ASSERT_TRUE(waitUntil([&] { return called; }));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, ETIMEDOUT);
        EXPECT_EQ(channel->connState(), PTChannel::kClosed);
        for (int fd : fillers)
            ::close(fd);
        ::close(listener);
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(PTChannelTcp, ListeningOnAPortInUseFailsAndKeepsNothingOpen) {
    RecordingDelegate d;
    auto first = PTChannel::channelWithDelegate(&d);
    first->listenOnPort(0, INADDR_LOOPBACK, [](const OptError& e) { EXPECT_FALSE(e); });
    const int before = openDescriptorCount();
    auto second = PTChannel::channelWithDelegate(&d);
    OptError error;
    second->listenOnPort(first->localPort(), INADDR_LOOPBACK, [&](const OptError& e) { error = e; });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, EADDRINUSE);
    EXPECT_EQ(second->connState(), PTChannel::kClosed);
    EXPECT_EQ(openDescriptorCount(), before);
    first->close();
    ASSERT_TRUE(waitUntil([&] { return d.ends == 1; }));
}

TEST(PTChannelTcp, WithoutAcceptDelegateConnectionsAreClosed) {
    RecordingDelegate serverDelegate;
    serverDelegate.operations = PTChannelDelegate::kDidEndWithError;
    auto server = PTChannel::channelWithDelegate(&serverDelegate);
    server->listenOnPort(0, INADDR_LOOPBACK, [](const OptError& e) { EXPECT_FALSE(e); });
    RecordingDelegate clientDelegate;
    auto client = PTChannel::channelWithDelegate(&clientDelegate);
    client->connectToPort(server->localPort(), INADDR_LOOPBACK,
                          [](const OptError& e, const PTAddress&) { EXPECT_FALSE(e); });
    ASSERT_TRUE(waitUntil([&] { return clientDelegate.ends == 1; }));
    EXPECT_FALSE(clientDelegate.endError);
    EXPECT_TRUE(serverDelegate.accepted.empty());
    server->cancel();
    ASSERT_TRUE(waitUntil([&] { return serverDelegate.ends == 1; }));
}
