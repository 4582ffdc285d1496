#include "fakes/ManualClock.h"

ManualClock::ManualClock() {
    Clock::setShared(this);
}

ManualClock::~ManualClock() {
    Clock::setShared(nullptr);
}

double ManualClock::uptime() const {
    return now_.load();
}

Clock::TimerId ManualClock::after(double seconds, std::function<void()> fn) {
    std::lock_guard lock(mutex_);
    const TimerId id = nextId_++;
    pending_.emplace(std::make_pair(now_.load() + std::max(0.0, seconds), id), std::move(fn));
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
    const double target = now_.load() + seconds;
    while (!pending_.empty() && pending_.begin()->first.first <= target) {
        auto node = pending_.extract(pending_.begin());
        setNow(std::max(now_.load(), node.key().first));
        lock.unlock();
        node.mapped()();
        lock.lock();
    }
    setNow(target);
}

void ManualClock::setNow(double now) {
    now_.store(now);
    // Every sleeper looks at the time again; the entries stay until their threads remove them.
    for (const auto& [deadline, wake] : sleeping_)
        wake->poke();
    changed_.notify_all();
}

bool ManualClock::sleepUntil(double deadline, WakeSignal* wake) {
    WakeSignal own;
    WakeSignal& signal = wake ? *wake : own;
    std::multimap<double, WakeSignal*>::iterator entry;
    {
        std::lock_guard lock(mutex_);
        if (now_.load() > deadline) return false;
        entry = sleeping_.emplace(deadline, &signal);
        changed_.notify_all();
    }
    const bool fired = signal.wait([&] { return now_.load() >= deadline; });
    {
        std::lock_guard lock(mutex_);
        sleeping_.erase(entry);
        changed_.notify_all();
    }
    // Taken only now: until the entry is gone, the notification keeps the sleeper from counting.
    if (fired) signal.take();
    return !fired;
}

size_t ManualClock::sleepersAhead() const {
    size_t n = 0;
    for (auto it = sleeping_.upper_bound(now_.load()); it != sleeping_.end(); ++it)
        if (!it->second->pending()) ++n;
    return n;
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
