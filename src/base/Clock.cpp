#include "base/Clock.h"

#include <QCoreApplication>
#include <QHash>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <time.h>

struct SystemClock::Impl {
    std::atomic<TimerId> nextId{1};
    // Touched on the main thread only.
    QHash<TimerId, QTimer*> timers;
};

namespace {

std::atomic<Clock*> g_shared{nullptr};

bool onMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

template <typename F> void runOnMain(F&& f) {
    if (onMainThread())
        f();
    else
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(f), Qt::QueuedConnection);
}

} // namespace

Clock& Clock::shared() {
    static SystemClock systemClock;
    Clock* c = g_shared.load(std::memory_order_acquire);
    return c ? *c : systemClock;
}

void Clock::setShared(Clock* clock) {
    g_shared.store(clock, std::memory_order_release);
}

SystemClock::SystemClock() : d(new Impl) {}

SystemClock::~SystemClock() {
    // The timers are children of the application object, which may already be gone at exit.
    delete d;
}

double SystemClock::uptime() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

Clock::TimerId SystemClock::after(double seconds, std::function<void()> fn) {
    const TimerId id = d->nextId.fetch_add(1);
    const int ms = seconds <= 0 ? 0 : int(seconds * 1000.0 + 0.5);
    runOnMain([this, id, ms, fn = std::move(fn)]() mutable {
        auto* timer = new QTimer(QCoreApplication::instance());
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, timer, [this, id, timer, fn = std::move(fn)]() {
            d->timers.remove(id);
            timer->deleteLater();
            fn();
        });
        d->timers.insert(id, timer);
        timer->start(ms);
    });
    return id;
}

void SystemClock::cancel(TimerId id) {
    runOnMain([this, id]() {
        if (QTimer* timer = d->timers.take(id)) {
            timer->stop();
            timer->deleteLater();
        }
    });
}

bool SystemClock::sleepUntil(double deadline, WakeSignal* wake) {
    if (uptime() > deadline) return false;
    if (!wake) {
        timespec ts{};
        double whole = 0;
        ts.tv_nsec = long(std::modf(deadline, &whole) * 1e9);
        ts.tv_sec = time_t(whole);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
        return true;
    }
    // The steady clock is CLOCK_MONOTONIC, the clock uptime() reads, so the wait is absolute too.
    const auto until =
        std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(deadline)));
    if (wake->wait([] { return false; }, until)) {
        wake->take();
        return false;
    }
    return true;
}

// Notified under the lock: a waiter that returns may free the signal at once.
void WakeSignal::notify() {
    std::lock_guard lock(mutex_);
    notified_ = true;
    changed_.notify_all();
}

void WakeSignal::requestStop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
}

bool WakeSignal::stopRequested() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void WakeSignal::reset() {
    std::lock_guard lock(mutex_);
    stopped_ = notified_ = false;
}

bool WakeSignal::wait(const std::function<bool()>& reached,
                      std::optional<std::chrono::steady_clock::time_point> until) {
    std::unique_lock lock(mutex_);
    const auto done = [&] { return notified_ || stopped_ || reached(); };
    if (until)
        changed_.wait_until(lock, *until, done);
    else
        changed_.wait(lock, done);
    return notified_ || stopped_;
}

void WakeSignal::take() {
    std::lock_guard lock(mutex_);
    notified_ = false;
}

bool WakeSignal::pending() const {
    std::lock_guard lock(mutex_);
    return notified_ || stopped_;
}

void WakeSignal::poke() {
    // Under the lock: the poke comes before a waiter's look at its condition or after it is asleep.
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}
