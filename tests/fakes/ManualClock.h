#pragma once

#include "base/Clock.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>

// A clock that only moves when the test says so. Installs itself as the shared clock while it lives.
class ManualClock final : public Clock {
public:
    ManualClock();
    ~ManualClock() override;

    double uptime() const override;
    TimerId after(double seconds, std::function<void()> fn) override;
    void cancel(TimerId id) override;
    // Blocks until the test has advanced time to the deadline, or `wake` fires.
    bool sleepUntil(double deadline, WakeSignal* wake = nullptr) override;

    // Moves time forward, running every call that falls due, in deadline order, on the calling thread.
    void advance(double seconds);
    size_t pendingCount() const;
    // Waits (in real time, at most `timeoutMs`) until `count` threads sleep in sleepUntil towards a
    // deadline still ahead, so a test can advance time knowing where the worker stands: right after an
    // advance, or a notification of its wake signal, a woken sleeper no longer counts, even before it
    // has run. Returns whether they did.
    bool waitForSleepers(size_t count, int timeoutMs = 5000) const;
    // The threads asleep towards a deadline still ahead.
    size_t sleeperCount() const;

private:
    mutable std::mutex mutex_; // taken before a wake signal's own, never after
    mutable std::condition_variable changed_;
    std::multimap<double, WakeSignal*> sleeping_; // the deadlines and signals of the threads in sleepUntil
    size_t sleepersAhead() const;
    void setNow(double now); // under mutex_
    // Written under mutex_; read without it by sleepers, which wait under their signal's lock.
    std::atomic<double> now_{1000.0};
    TimerId nextId_ = 1;
    // (deadline, id) keeps calls with the same deadline in the order they were made.
    std::map<std::pair<double, TimerId>, std::function<void()>> pending_;
};
