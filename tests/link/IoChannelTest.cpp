#include "link/IoChannel.h"
#include "LinkTestSupport.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A connected socket pair, or a pipe whose write end is ours.
struct Pair {
    int ours = -1, theirs = -1;
    explicit Pair(bool pipe = false) {
        int fds[2];
        if (pipe) {
            EXPECT_EQ(::pipe(fds), 0);
            std::swap(fds[0], fds[1]);
        } else {
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        }
        ours = fds[0];
        theirs = fds[1];
    }
    ~Pair() {
        if (theirs >= 0) ::close(theirs);
    }
    void send(const QByteArray& bytes) const {
        ASSERT_EQ(::write(theirs, bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    void hangUp() {
        ::close(theirs);
        theirs = -1;
    }
};

struct ReadResult {
    bool done = false;
    int err = -1;
    QByteArray data;
    bool eof = false;
};

IoChannel::ReadHandler into(ReadResult& r) {
    return [&r](int err, QByteArray data, bool eof) { r = ReadResult{true, err, std::move(data), eof}; };
}

} // namespace

TEST(IoChannel, ExactReadsGatherPartialDeliveriesUntilTheEndOfTheStream) {
    Pair p;
    int cleanups = 0;
    auto io = IoChannel::create(p.ours, [&](int err) {
        ++cleanups;
        EXPECT_EQ(err, 0);
    });
    ReadResult first, second, r, tail, after;
    io->read(6, into(first));
    p.send("abc");
    spinEventLoop(20);
    EXPECT_FALSE(first.done) << "three of six bytes must not complete the read";
    p.send("defgh");
    ASSERT_TRUE(waitUntil([&] { return first.done; }));
    EXPECT_EQ(first.data, "abcdef");
    EXPECT_FALSE(first.eof);
    io->read(2, into(second));
    ASSERT_TRUE(waitUntil([&] { return second.done; }));
    EXPECT_EQ(second.data, "gh") << "the rest of a delivery is kept for the next read";

    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31);
    io->read(size_t(big.size()), into(r));
    // Written from the event loop side in pieces, since the socket buffer is smaller than the payload.
    qsizetype sent = 0;
    while (!r.done) {
        if (sent < big.size()) {
            const ssize_t n =
                ::send(p.theirs, big.constData() + sent, size_t(big.size() - sent), MSG_DONTWAIT);
            if (n > 0) sent += n;
        }
        spinEventLoop(1);
    }
    EXPECT_EQ(r.err, 0);
    EXPECT_TRUE(r.data == big);
    io->read(10, into(tail));
    p.send("xyz");
    p.hangUp();
    ASSERT_TRUE(waitUntil([&] { return tail.done; }));
    EXPECT_TRUE(tail.eof);
    EXPECT_EQ(tail.data, "xyz");
    io->read(4, into(after));
    ASSERT_TRUE(waitUntil([&] { return after.done; }));
    EXPECT_TRUE(after.eof);
    EXPECT_TRUE(after.data.isEmpty());
    io->close(true);
    ASSERT_TRUE(waitUntil([&] { return cleanups == 1; }));
}

TEST(IoChannel, ACloseWithoutStopOutlivesItsOwnerUntilTheWritesDrainOrTimeOut) {
    const QByteArray big(4 << 20, 'v'); // far more than a socket buffer holds
    const int before = openDescriptorCount();
    {
        SCOPED_TRACE("a slow reader still gets every byte");
        Pair p;
        std::vector<int> results;
        bool cleaned = false;
        auto io = IoChannel::create(p.ours, [&](int) { cleaned = true; });
        io->write(big, {}, [&](int err) { results.push_back(err); });
        io->write("tail", {}, [&](int err) { results.push_back(err); });
        io->close(false);
        io.reset();
        qsizetype received = 0;
        char buf[65536];
        for (int turn = 0; turn < 5000 && !cleaned; ++turn) {
            spinEventLoop(1);
            const ssize_t n = ::recv(p.theirs, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0) received += n;
        }
        ASSERT_TRUE(cleaned);
        while (true) {
            const ssize_t n = ::recv(p.theirs, buf, sizeof buf, MSG_DONTWAIT);
            if (n <= 0) break;
            received += n;
        }
        EXPECT_EQ(received, big.size() + 4);
        EXPECT_EQ(results, (std::vector<int>{0, 0}));
    }
    {
        SCOPED_TRACE("a peer that never reads");
        ManualClock clock;
        Pair p;
        std::vector<int> results;
        bool cleaned = false;
        auto io = IoChannel::create(p.ours, [&](int) { cleaned = true; });
        io->write(big, {}, [&](int err) { results.push_back(err); });
        io->close(false);
        io.reset();
        spinEventLoop(20);
        EXPECT_FALSE(cleaned);
        clock.advance(IoChannel::kDrainTimeout);
        ASSERT_TRUE(waitUntil([&] { return cleaned; }));
        EXPECT_EQ(results, (std::vector<int>{ETIMEDOUT}));
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(IoChannel, StopCancelsPendingWorkAndReleasesTheDescriptorOnce) {
    const int before = openDescriptorCount();
    {
        Pair p;
        int cleanups = 0;
        auto io = IoChannel::create(p.ours, [&](int) { ++cleanups; });
        ReadResult pending, late;
        int writeErr = -1;
        io->read(100, into(pending));
        io->close(true);
        io->close(true);
        io->write("x", {}, [&](int err) { writeErr = err; });
        io->read(1, into(late));
        ASSERT_TRUE(waitUntil([&] { return cleanups > 0 && late.done && writeErr >= 0; }));
        spinEventLoop(20);
        EXPECT_EQ(cleanups, 1);
        EXPECT_EQ(pending.err, ECANCELED);
        EXPECT_EQ(late.err, ECANCELED);
        EXPECT_EQ(writeErr, ECANCELED);
    }
    {
        Pair p;
        auto dropped = IoChannel::create(p.ours, nullptr); // let go without any close
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(IoChannel, WriteToAClosedPeerFailsWithAnErrorNotASignal) {
    // With the default action a SIGPIPE would end this test process: the write itself must not raise it.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    Pair p;
    p.hangUp();
    auto io = IoChannel::create(p.ours, nullptr);
    int err = 0;
    io->write(QByteArray(1 << 20, 'z'), {}, [&](int e) { err = e; });
    ASSERT_TRUE(waitUntil([&] { return err != 0; }));
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(err, EPIPE);
    io->close(true);
}

// On a socket and on a pipe: a write may lack its head or its body, completions run in order and never
// inside the call, and writes queued right before a stopping close were handed over already.
TEST(IoChannel, BurstsOfWritesGoOutWholeAndInOrder) {
    for (const bool pipe : {false, true}) {
        SCOPED_TRACE(pipe ? "pipe" : "socket");
        Pair p(pipe);
        bool cleaned = false;
        auto io = IoChannel::create(p.ours, [&](int) { cleaned = true; });
        std::vector<int> order;
        QByteArray expected;
        for (int i = 0; i < 1000; ++i) {
            const QByteArray head = i % 3 == 1 ? QByteArray() : QByteArray::number(i) + ':';
            const QByteArray body = i % 3 == 0 ? QByteArray() : QByteArray(i % 7, char('a' + i % 26)) + ';';
            expected += head + body;
            io->write(head, body, [&order, i](int err) {
                EXPECT_EQ(err, 0);
                order.push_back(i);
            });
        }
        EXPECT_TRUE(order.empty()) << "completions never run inside the call";
        QByteArray got;
        ASSERT_TRUE(waitUntil([&] {
            got += readAvailable(p.theirs);
            return order.size() == 1000 && got.size() >= expected.size();
        }));
        EXPECT_TRUE(got == expected);
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(order[size_t(i)], i);

        io->write("last", "-words", nullptr);
        io->write("and", "-more", nullptr);
        io->close(true);
        ASSERT_TRUE(waitUntil([&] { return cleaned; }));
        EXPECT_EQ(readAvailable(p.theirs), "last-wordsand-more");
    }
}
