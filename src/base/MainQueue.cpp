#include "base/MainQueue.h"

#include <QCoreApplication>
#include <QThread>

#include <condition_variable>
#include <mutex>

void MainQueue::async(std::function<void()> fn) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(fn), Qt::QueuedConnection);
}

void MainQueue::sync(const std::function<void()>& fn) {
    if (isCurrent()) {
        fn();
        return;
    }
    // Standard primitives for the hand-back, so that thread checkers see the order.
    std::mutex mutex;
    std::condition_variable ran;
    bool done = false;
    async([&] {
        fn();
        std::lock_guard lock(mutex);
        done = true;
        ran.notify_one();
    });
    std::unique_lock lock(mutex);
    ran.wait(lock, [&] { return done; });
}

Clock::TimerId MainQueue::after(double seconds, std::function<void()> fn) {
    return Clock::shared().after(seconds, std::move(fn));
}

bool MainQueue::isCurrent() const {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

MainQueue& mainQueue() {
    static MainQueue queue;
    return queue;
}

SerialQueue::SerialQueue(QString label) : label_(std::move(label)) {}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(std::function<void()> fn) {
    pending_.push_back(std::move(fn));
    scheduleDrain();
}

void SerialQueue::suspend() {
    ++suspendCount_;
}

void SerialQueue::resume() {
    Q_ASSERT(suspendCount_ > 0);
    if (suspendCount_ > 0 && --suspendCount_ == 0) scheduleDrain();
}

void SerialQueue::scheduleDrain() {
    if (drainScheduled_ || suspendCount_ > 0 || pending_.empty()) return;
    drainScheduled_ = true;
    mainQueue().async([self = lifetime_.guard()]() {
        if (self) self->drain();
    });
}

void SerialQueue::drain() {
    drainScheduled_ = false;
    // A block may suspend the queue; the rest then waits for the resume.
    while (suspendCount_ == 0 && !pending_.empty()) {
        auto fn = std::move(pending_.front());
        pending_.pop_front();
        const auto self = lifetime_.guard();
        fn();
        if (!self) return; // the block destroyed the queue
    }
}
