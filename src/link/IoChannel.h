#pragma once

#include <QByteArray>
#include <deque>
#include <functional>
#include <memory>
#include <sys/types.h>

class QSocketNotifier;

// A stream over a non-blocking descriptor, driven by the main thread's event loop.
// Reads complete with exactly the length asked for, or short at end of stream; writes complete in the
// order they were queued. A lone write goes out at once; writes that follow it in the same turn of
// the event loop go out together, gathered into one system call. Sockets are written with
// MSG_NOSIGNAL, so a vanished peer is an EPIPE and never a signal. All handlers run on the main
// thread, never from inside the call that queued them. The channel owns the descriptor: it closes it
// and then calls the clean-up handler once.
class IoChannel : public std::enable_shared_from_this<IoChannel> {
public:
    // err: 0 or an errno value. A read that ends early at end of stream has eof set and holds what came.
    using ReadHandler = std::function<void(int err, QByteArray data, bool eof)>;
    using WriteHandler = std::function<void(int err)>;
    using CleanupHandler = std::function<void(int err)>;

    // Takes the descriptor (made non-blocking here). The clean-up handler runs after it is closed.
    static std::shared_ptr<IoChannel> create(int fd, CleanupHandler cleanup);
    ~IoChannel();
    IoChannel(const IoChannel&) = delete;
    IoChannel& operator=(const IoChannel&) = delete;

    void read(size_t length, ReadHandler handler);
    // `head` and `body` go out back to back in one system call; neither is copied.
    void write(QByteArray head, QByteArray body, WriteHandler handler);

    // stop: pending reads and writes fail with ECANCELED and the descriptor closes now; only writes
    // still held for a burst get one non-blocking try first, as a lone write would have had.
    // Without stop, queued writes are flushed first; pending reads still fail with ECANCELED. The
    // channel then keeps itself alive until the flush is over, also when its owner lets go of it, so
    // queued bytes, their completions and the clean-up are never lost; a peer that does not read
    // within kDrainTimeout fails the rest with ETIMEDOUT, so the close always ends.
    void close(bool stop);
    static constexpr double kDrainTimeout = 3.0;

    bool isClosed() const { return closing_; }
    int fd() const { return fd_; }

private:
    IoChannel(int fd, CleanupHandler cleanup);

    struct PendingRead {
        size_t length;
        QByteArray data;
        size_t got;
        ReadHandler handler;
    };
    struct PendingWrite {
        QByteArray head;
        QByteArray body;
        size_t offset;
        WriteHandler handler;
    };

    static void makeRoom(PendingRead& r, size_t more);
    ssize_t send(const struct iovec* iov, int count);
    void scheduleReads();
    void processReads();
    void flushWrites();
    void failWrites(int err);
    void scheduleCompletions();
    void runCompletions();
    void finishClose();

    int fd_;
    CleanupHandler cleanup_;
    // Set while a close waits for queued writes to drain: the channel outlives its owner until then.
    std::shared_ptr<IoChannel> draining_;
    quint64 drainTimer_ = 0;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::deque<PendingRead> reads_;
    std::deque<PendingWrite> writes_;
    std::deque<std::function<void()>> completions_;
    // Bytes read ahead of what the front read wanted: small reads are served from here.
    QByteArray buffer_;
    qsizetype bufferPos_ = 0;
    int readError_ = 0;
    bool eof_ = false;
    bool readsScheduled_ = false;
    bool completionsScheduled_ = false;
    bool processing_ = false;
    bool closing_ = false;
    bool closed_ = false;
    bool flushPosted_ = false;
    bool isSocket_ = true;
};
