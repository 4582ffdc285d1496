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
        EXPECT_EQ(pipe ? ::pipe(fds) : ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        if (pipe) std::swap(fds[0], fds[1]);
        ours = fds[0];
        theirs = fds[1];
    }
    ~Pair() { hangUp(); }
    void hangUp() {
        if (theirs >= 0) ::close(theirs);
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

// Reads complete with exactly the length asked: a read larger than any socket buffer fills (partial
// deliveries and what is left of one for the next read are driven by PTChannelReading), and after the end
// of the stream a read hands over what came, then nothing. The clean-up runs once.
TEST(IoChannel, ExactReadsGatherUntilTheEndOfTheStream) {
    Pair p;
    int cleanups = 0;
    auto io = IoChannel::create(p.ours, [&](int err) { cleanups += err == 0 ? 1 : 100; });
    ReadResult big, tail, after;
    QByteArray bytes(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 31);
    io->read(size_t(bytes.size()), into(big));
    sendAll(p.theirs, bytes + "xyz");
    ASSERT_TRUE(waitUntil([&] { return big.done; }));
    EXPECT_EQ(big.err, 0);
    EXPECT_TRUE(big.data == bytes);
    io->read(10, into(tail));
    p.hangUp();
    ASSERT_TRUE(waitUntil([&] { return tail.done; }));
    EXPECT_TRUE(tail.eof && tail.data == "xyz");
    io->read(4, into(after));
    ASSERT_TRUE(waitUntil([&] { return after.done; }));
    EXPECT_TRUE(after.eof && after.data.isEmpty());
    io->close(true);
    ASSERT_TRUE(waitUntil([&] { return cleanups > 0; }));
    spinEventLoop(10);
    EXPECT_EQ(cleanups, 1);
}

// A close without stop keeps the channel alive after its owner let go until every queued byte is out,
// or fails what is left once a peer that never reads has had kDrainTimeout.
TEST(IoChannel, ACloseWithoutStopOutlivesItsOwnerUntilTheWritesDrainOrTimeOut) {
    const QByteArray big(4 << 20, 'v'); // far more than a socket buffer holds
    const int before = openDescriptorCount();
    for (const bool reader : {true, false}) {
        SCOPED_TRACE(reader ? "a slow reader" : "a peer that never reads");
        ManualClock clock;
        Pair p;
        std::vector<int> results;
        bool cleaned = false;
        auto io = IoChannel::create(p.ours, [&](int) { cleaned = true; });
        io->write(big, {}, [&](int err) { results.push_back(err); });
        io->write("tail", {}, [&](int err) { results.push_back(err); });
        io->close(false);
        io.reset();
        qsizetype received = 0;
        if (reader) {
            ASSERT_TRUE(waitUntil([&] {
                received += readAvailable(p.theirs).size();
                return cleaned;
            }));
            received += readAvailable(p.theirs).size();
            EXPECT_EQ(received, big.size() + 4);
            EXPECT_EQ(results, (std::vector<int>{0, 0}));
        } else {
            spinEventLoop(20);
            EXPECT_FALSE(cleaned);
            clock.advance(IoChannel::kDrainTimeout);
            ASSERT_TRUE(waitUntil([&] { return cleaned; }));
            EXPECT_EQ(results, (std::vector<int>{ETIMEDOUT, ETIMEDOUT}));
        }
    }
    spinEventLoop(20);
    EXPECT_EQ(openDescriptorCount(), before);
}

// Stop fails every pending and later operation with ECANCELED and closes the descriptor once; a channel
// dropped without any close still gives its descriptor back. A peer that has gone is an EPIPE, never a
// SIGPIPE (whose default action would end this process).
TEST(IoChannel, StopCancelsPendingWorkAndAVanishedPeerIsAnErrorNotASignal) {
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
        auto dropped = IoChannel::create(p.ours, nullptr);
    }
    EXPECT_EQ(openDescriptorCount(), before);

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
            io->write(head, body, [&order, i](int err) { order.push_back(err == 0 ? i : -1); });
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
