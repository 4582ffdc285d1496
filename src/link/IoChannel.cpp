#include "link/IoChannel.h"

#include "base/MainQueue.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
// Small reads are gathered in blocks of this size; larger ones go straight into their own buffer.
constexpr qsizetype kReadBlock = 64 * 1024;
// Bytes taken from the descriptor in one go before other events get their turn: a peer that writes
// as fast as we read must not starve the rest of the main queue.
constexpr size_t kReadPerTurn = 4 * 1024 * 1024;
// Queued writes handed to the kernel in one system call (two pieces each).
constexpr int kWritesPerCall = 256;
} // namespace

std::shared_ptr<IoChannel> IoChannel::create(int fd, CleanupHandler cleanup) {
    return std::shared_ptr<IoChannel>(new IoChannel(fd, std::move(cleanup)));
}

IoChannel::IoChannel(int fd, CleanupHandler cleanup) : fd_(fd), cleanup_(std::move(cleanup)) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    readNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    readNotifier_->setEnabled(false);
    QObject::connect(readNotifier_.get(), &QSocketNotifier::activated, readNotifier_.get(), [this]() {
        readNotifier_->setEnabled(false);
        auto self = shared_from_this();
        processReads();
    });
    writeNotifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    writeNotifier_->setEnabled(false);
    QObject::connect(writeNotifier_.get(), &QSocketNotifier::activated, writeNotifier_.get(), [this]() {
        writeNotifier_->setEnabled(false);
        auto self = shared_from_this();
        flushWrites();
    });
}

IoChannel::~IoChannel() {
    // Dropped without close(): release the descriptor quietly, nobody is left to tell.
    readNotifier_.reset();
    writeNotifier_.reset();
    if (!closed_ && fd_ >= 0) ::close(fd_);
}

void IoChannel::read(size_t length, ReadHandler handler) {
    if (closing_) {
        completions_.push_back([handler = std::move(handler)]() { handler(ECANCELED, {}, false); });
        scheduleCompletions();
        return;
    }
    // Room is made as bytes arrive (see makeRoom), not for the length asked.
    reads_.push_back(PendingRead{length, QByteArray(), 0, std::move(handler)});
    scheduleReads();
}

void IoChannel::makeRoom(PendingRead& r, size_t more) {
    const size_t want = std::min(r.length, r.got + more);
    if (size_t(r.data.size()) >= want) return;
    // Room for one block until half a block of the read's bytes is really here, so a length
    // announced by a peer costs nothing before its bytes arrive; then room for all of it at once,
    // so that a large read is not moved again as it grows (and the rest is read straight into it).
    const size_t size = want < size_t(kReadBlock) / 2 ? std::min(r.length, size_t(kReadBlock)) : r.length;
    // A new array of exactly that size: resize() would round a growing array up, to twice as much.
    QByteArray grown(qsizetype(size), Qt::Uninitialized);
    if (r.got > 0) std::memcpy(grown.data(), r.data.constData(), r.got);
    r.data = std::move(grown);
}

void IoChannel::scheduleReads() {
    if (processing_ || readsScheduled_) return;
    readsScheduled_ = true;
    std::weak_ptr<IoChannel> weak = weak_from_this();
    mainQueue().async([weak]() {
        if (auto self = weak.lock()) {
            self->readsScheduled_ = false;
            self->processReads();
        }
    });
}

void IoChannel::processReads() {
    if (closing_) return;
    processing_ = true;
    size_t taken = 0;
    while (!reads_.empty() && !closing_) {
        PendingRead& r = reads_.front();
        const qsizetype available = buffer_.size() - bufferPos_;
        if (available > 0 && r.got < r.length) {
            const qsizetype n = std::min<qsizetype>(available, qsizetype(r.length - r.got));
            makeRoom(r, size_t(n));
            std::memcpy(r.data.data() + r.got, buffer_.constData() + bufferPos_, size_t(n));
            r.got += size_t(n);
            bufferPos_ += n;
            if (bufferPos_ == buffer_.size()) {
                buffer_.resize(0); // keeps its allocation for the next block
                bufferPos_ = 0;
            }
        }
        int err = 0;
        bool eof = false;
        bool done = r.got == r.length;
        if (!done && readError_) {
            err = readError_;
            done = true;
        } else if (!done && eof_) {
            eof = true;
            done = true;
        }
        if (done) {
            PendingRead finished = std::move(reads_.front());
            reads_.pop_front();
            finished.data.resize(qsizetype(finished.got));
            if (err) finished.data.clear();
            auto self = shared_from_this();
            finished.handler(err, std::move(finished.data), eof);
            continue;
        }
        if (taken >= kReadPerTurn) {
            processing_ = false;
            scheduleReads();
            return;
        }
        const size_t need = r.length - r.got;
        ssize_t n;
        if (qsizetype(need) >= kReadBlock && r.got >= size_t(kReadBlock) / 2) {
            makeRoom(r, need);
            n = ::read(fd_, r.data.data() + r.got, need);
            if (n > 0) r.got += size_t(n);
        } else {
            buffer_.resize(kReadBlock);
            bufferPos_ = 0;
            n = ::read(fd_, buffer_.data(), size_t(kReadBlock));
            buffer_.resize(n > 0 ? qsizetype(n) : 0);
        }
        if (n > 0) {
            taken += size_t(n);
            continue;
        }
        if (n == 0) {
            eof_ = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            readNotifier_->setEnabled(true);
            break;
        } else {
            readError_ = errno;
        }
    }
    processing_ = false;
}

void IoChannel::write(QByteArray head, QByteArray body, WriteHandler handler) {
    if (closing_) {
        completions_.push_back([handler = std::move(handler)]() {
            if (handler) handler(ECANCELED);
        });
        scheduleCompletions();
        return;
    }
    writes_.push_back(PendingWrite{std::move(head), std::move(body), 0, std::move(handler)});
    // Waiting for room in the socket, or a burst already under way: the write goes out with the others.
    if (writeNotifier_->isEnabled() || flushPosted_) return;
    flushWrites();
    if (closed_ || writeNotifier_->isEnabled() || !writes_.empty()) return;
    // A lone write has gone out at once. Writes that follow it in the same turn of the queue wait
    // for one flush after it, so that a burst of small frames takes few system calls.
    flushPosted_ = true;
    std::weak_ptr<IoChannel> weak = weak_from_this();
    mainQueue().async([weak]() {
        auto self = weak.lock();
        if (!self) return;
        self->flushPosted_ = false;
        if (!self->closed_ && !self->writes_.empty() && !self->writeNotifier_->isEnabled())
            self->flushWrites();
    });
}

ssize_t IoChannel::send(const iovec* iov, int count) {
    if (isSocket_) {
        msghdr msg{};
        msg.msg_iov = const_cast<iovec*>(iov);
        msg.msg_iovlen = size_t(count);
        // A peer that has gone must give EPIPE, never SIGPIPE (Linux has no SO_NOSIGPIPE).
        const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
        if (n >= 0 || errno != ENOTSOCK) return n;
        isSocket_ = false;
    }
    return ::writev(fd_, iov, count);
}

void IoChannel::flushWrites() {
    iovec iov[2 * kWritesPerCall];
    while (!writes_.empty()) {
        // Gather the unwritten parts of as many queued writes as one call takes.
        int count = 0;
        size_t gathered = 0;
        for (auto it = writes_.begin(); it != writes_.end() && count + 2 <= 2 * kWritesPerCall; ++it) {
            const size_t headSize = size_t(it->head.size());
            if (it->offset < headSize)
                iov[count++] = {const_cast<char*>(it->head.constData()) + it->offset, headSize - it->offset};
            const size_t bodyStart = it->offset > headSize ? it->offset - headSize : 0;
            if (size_t(it->body.size()) > bodyStart)
                iov[count++] = {const_cast<char*>(it->body.constData()) + bodyStart,
                                size_t(it->body.size()) - bodyStart};
            gathered += headSize + size_t(it->body.size()) - it->offset;
        }
        const ssize_t n = gathered == 0 ? 0 : send(iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                writeNotifier_->setEnabled(true);
                return;
            }
            failWrites(errno);
            return;
        }
        // Complete every write the call took whole; the first one it took in part keeps its offset.
        size_t left = size_t(n);
        while (!writes_.empty()) {
            PendingWrite& w = writes_.front();
            const size_t remaining = size_t(w.head.size()) + size_t(w.body.size()) - w.offset;
            if (left < remaining) {
                w.offset += left;
                break;
            }
            left -= remaining;
            if (w.handler) completions_.push_back([handler = std::move(w.handler)]() { handler(0); });
            writes_.pop_front();
        }
        scheduleCompletions();
    }
    if (closing_ && !closed_) finishClose();
}

void IoChannel::failWrites(int err) {
    while (!writes_.empty()) {
        if (auto handler = std::move(writes_.front().handler))
            completions_.push_back([handler = std::move(handler), err]() { handler(err); });
        writes_.pop_front();
    }
    scheduleCompletions();
    if (closing_ && !closed_) finishClose();
}

void IoChannel::scheduleCompletions() {
    if (completionsScheduled_ || completions_.empty()) return;
    completionsScheduled_ = true;
    mainQueue().async([self = shared_from_this()]() { self->runCompletions(); });
}

void IoChannel::runCompletions() {
    completionsScheduled_ = false;
    std::deque<std::function<void()>> batch;
    batch.swap(completions_);
    for (auto& fn : batch)
        fn();
}

void IoChannel::close(bool stop) {
    if (closing_) return;
    // Writes held back for a burst were as good as written when they were queued: give them their
    // one try now, as they would have had without the hold.
    if (!writes_.empty() && !writeNotifier_->isEnabled()) flushWrites();
    closing_ = true;
    while (!reads_.empty()) {
        auto handler = std::move(reads_.front().handler);
        reads_.pop_front();
        completions_.push_back([handler = std::move(handler)]() { handler(ECANCELED, {}, false); });
    }
    if (stop) failWrites(ECANCELED);
    scheduleCompletions();
    if (writes_.empty()) {
        finishClose();
        return;
    }
    // flushWrites() finishes the close once the queue is drained or fails; until then nobody else
    // may be holding the channel.
    draining_ = shared_from_this();
    std::weak_ptr<IoChannel> weak = draining_;
    drainTimer_ = mainQueue().after(kDrainTimeout, [weak]() {
        if (auto self = weak.lock()) {
            self->drainTimer_ = 0;
            if (!self->closed_) self->failWrites(ETIMEDOUT);
        }
    });
}

void IoChannel::finishClose() {
    if (closed_) return;
    closed_ = true;
    if (drainTimer_) Clock::shared().cancel(drainTimer_);
    drainTimer_ = 0;
    // The descriptor number may be reused at once: no notifier may outlive it. They can be the
    // sender of the signal we are running in, hence deleteLater.
    readNotifier_->setEnabled(false);
    writeNotifier_->setEnabled(false);
    readNotifier_.release()->deleteLater();
    writeNotifier_.release()->deleteLater();
    const int err = ::close(fd_) == 0 ? 0 : errno;
    fd_ = -1;
    // After the completions already queued, so every operation has answered before the clean-up.
    completions_.push_back([self = shared_from_this(), err]() {
        if (auto cleanup = std::move(self->cleanup_)) cleanup(err == EINTR ? 0 : err);
    });
    scheduleCompletions();
    // The completion just queued holds the channel from here on.
    draining_.reset();
}
