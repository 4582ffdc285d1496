#include "base/MainQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>
#include <QThread>

#include <condition_variable>
#include <mutex>

namespace {

// Blocks posted from other threads wait here under a standard mutex, which thread checkers see; Qt's
// event queue carries only a wake-up that holds nothing of ours. A block handed through Qt's queue
// itself would cross under Qt's own futexes, which the checkers do not see.
class OffThreadPosts final : public QObject {
public:
    void post(std::function<void()> fn) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            wake = pending_.empty();
            pending_.push_back(std::move(fn));
        }
        if (wake) QCoreApplication::postEvent(this, new QEvent(kWake));
    }

protected:
    bool event(QEvent* event) override {
        if (event->type() != kWake) return QObject::event(event);
        std::deque<std::function<void()>> ready;
        {
            std::lock_guard lock(mutex_);
            ready.swap(pending_);
        }
        for (auto& fn : ready) fn();
        return true;
    }

private:
    static constexpr QEvent::Type kWake = QEvent::User;
    std::mutex mutex_;
    std::deque<std::function<void()>> pending_;
};

// One per application object, living on its thread and ending with it.
OffThreadPosts& offThreadPosts(QCoreApplication* app) {
    static std::mutex mutex;
    static QPointer<OffThreadPosts> posts;
    std::lock_guard lock(mutex);
    if (!posts) {
        posts = new OffThreadPosts;
        posts->moveToThread(app->thread());
        QObject::connect(app, &QObject::destroyed, posts.data(), [doomed = posts.data()] { delete doomed; });
    }
    return *posts;
}

} // namespace

void MainQueue::async(std::function<void()> fn) {
    auto* app = QCoreApplication::instance();
    if (!app) return;
    if (QThread::currentThread() == app->thread())
        QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
    else
        offThreadPosts(app).post(std::move(fn));
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
