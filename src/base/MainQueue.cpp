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

SerialQueue::SerialQueue(QString label) : label_(std::move(label)), self_(std::make_shared<SerialQueue*>(this)) {}

SerialQueue::~SerialQueue() { *self_ = nullptr; }

void SerialQueue::async(std::function<void()> fn) {
    pending_.push_back(std::move(fn));
    scheduleDrain();
}

void SerialQueue::suspend() { ++suspendCount_; }

void SerialQueue::resume() {
    Q_ASSERT(suspendCount_ > 0);
    if (suspendCount_ > 0 && --suspendCount_ == 0) scheduleDrain();
}

void SerialQueue::scheduleDrain() {
    if (drainScheduled_ || suspendCount_ > 0 || pending_.empty()) return;
    drainScheduled_ = true;
    std::weak_ptr<SerialQueue*> weak = self_;
    mainQueue().async([weak]() {
        if (auto alive = weak.lock(); alive && *alive) (*alive)->drain();
    });
}

void SerialQueue::drain() {
    drainScheduled_ = false;
    // A block may suspend the queue; the rest then waits for the resume.
    while (suspendCount_ == 0 && !pending_.empty()) {
        auto fn = std::move(pending_.front());
        pending_.pop_front();
        std::weak_ptr<SerialQueue*> weak = self_;
        fn();
        if (auto alive = weak.lock(); !alive || !*alive) return;
    }
}
