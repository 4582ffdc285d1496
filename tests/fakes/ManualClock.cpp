#include "fakes/ManualClock.h"

ManualClock::ManualClock() {
    Clock::setShared(this);
}

ManualClock::~ManualClock() {
    Clock::setShared(nullptr);
}

double ManualClock::uptime() const {
    std::lock_guard lock(mutex_);
    return now_;
}

Clock::TimerId ManualClock::after(double seconds, std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    const TimerId id = nextId_++;
    pending_.emplace(std::make_pair(now_ + std::max(0.0, seconds), id), std::move(fn));
    return id;
}

void ManualClock::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end(); ++it)
        if (it->first.second == id) {
            pending_.erase(it);
            return;
        }
}

void ManualClock::advance(double seconds) {
    std::unique_lock lock(mutex_);
    const double target = now_ + seconds;
    while (!pending_.empty() && pending_.begin()->first.first <= target) {
        auto node = pending_.extract(pending_.begin());
        now_ = std::max(now_, node.key().first);
        changed_.notify_all();
        lock.unlock();
        node.mapped()();
        lock.lock();
    }
    now_ = target;
    changed_.notify_all();
}

bool ManualClock::sleepUntil(double deadline, std::stop_token stop) {
    std::unique_lock lock(mutex_);
    if (now_ > deadline) return false;
    const auto entry = sleeping_.insert(deadline);
    changed_.notify_all();
    const bool reached = changed_.wait(lock, stop, [&] { return now_ >= deadline; });
    sleeping_.erase(entry);
    changed_.notify_all();
    return reached;
}

size_t ManualClock::sleepersAhead() const {
    return size_t(std::distance(sleeping_.upper_bound(now_), sleeping_.end()));
}

bool ManualClock::waitForSleepers(size_t count, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return sleepersAhead() >= count; });
}

size_t ManualClock::sleeperCount() const {
    std::lock_guard lock(mutex_);
    return sleepersAhead();
}

size_t ManualClock::pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}
