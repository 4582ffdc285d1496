#include "link/IoChannel.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

struct Pair {
    int ours = -1, theirs = -1;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
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

TEST(IoChannel, ExactReadsGatherPartialDeliveriesAndKeepTheRestForTheNextRead) {
    Pair p;
    int cleanups = 0;
    auto io = IoChannel::create(p.ours, [&](int err) {
        ++cleanups;
        EXPECT_EQ(err, 0);
    });
    ReadResult first, second;
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
    EXPECT_EQ(second.data, "gh");
    io->close(true);
    ASSERT_TRUE(waitUntil([&] { return cleanups == 1; }));
}

TEST(IoChannel, LargeReadsAndEndOfStream) {
    Pair p;
    auto io = IoChannel::create(p.ours, nullptr);
    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31);
    ReadResult r, tail, after;
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
}

TEST(IoChannel, WritesCompleteInOrderAndAfterACloseWithoutStop) {
    Pair p;
    bool cleaned = false;
    std::vector<int> order;
    auto io = IoChannel::create(p.ours, [&](int) { cleaned = true; });
    io->write("head", "body", [&](int err) {
        EXPECT_EQ(err, 0);
        order.push_back(1);
    });
    io->write(QByteArray(), "only-body", [&](int err) {
        EXPECT_EQ(err, 0);
        order.push_back(2);
    });
    EXPECT_TRUE(order.empty()) << "completions never run inside the call";
    io->close(false);
    ASSERT_TRUE(waitUntil([&] { return cleaned; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    char buf[64];
    const ssize_t n = ::read(p.theirs, buf, sizeof buf);
    EXPECT_EQ(QByteArray(buf, int(n)), "headbodyonly-body");
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

TEST(IoChannel, BurstsOfWritesGoOutWholeAndInOrder) {
    Pair p;
    auto io = IoChannel::create(p.ours, nullptr);
    std::vector<int> order;
    QByteArray expected;
    for (int i = 0; i < 1000; ++i) {
        const QByteArray head = QByteArray::number(i) + ':';
        const QByteArray body = QByteArray(i % 7, char('a' + i % 26)) + ';';
        expected += head + body;
        io->write(head, i % 3 ? body : QByteArray(), [&order, i](int err) {
            EXPECT_EQ(err, 0);
            order.push_back(i);
        });
        if (i % 3 == 0) expected.chop(body.size());
    }
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        char buf[65536];
        ssize_t n;
        while ((n = ::recv(p.theirs, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            got.append(buf, n);
        return order.size() == 1000 && got.size() >= expected.size();
    }));
    EXPECT_TRUE(got == expected);
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(order[size_t(i)], i);

    // Writes queued right before a stopping close were handed over already: they still go out.
    io->write("last", "-words", nullptr);
    io->write("and", "-more", nullptr);
    io->close(true);
    char buf[64];
    const ssize_t n = ::recv(p.theirs, buf, sizeof buf, 0);
    EXPECT_EQ(QByteArray(buf, int(n)), "last-wordsand-more");
}

TEST(IoChannel, WritesToAPipeWork) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    bool cleaned = false;
    auto io = IoChannel::create(fds[1], [&](int) { cleaned = true; });
    int done = 0;
    io->write("through ", "a pipe", [&](int err) { done = err ? -err : 1; });
    io->write("and ", "again", [&](int err) { done = err ? -err : done + 1; });
    ASSERT_TRUE(waitUntil([&] { return done == 2 || done < 0; }));
    EXPECT_EQ(done, 2);
    io->close(false);
    ASSERT_TRUE(waitUntil([&] { return cleaned; }));
    char buf[64];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    EXPECT_EQ(QByteArray(buf, int(n)), "through a pipeand again");
    ::close(fds[0]);
}

TEST(IoChannel, DroppedWithoutCloseStillReleasesTheDescriptor) {
    const int before = openDescriptorCount();
    {
        Pair p;
        auto io = IoChannel::create(p.ours, nullptr);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}
