#pragma once

#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

// Wakes a thread asleep in Clock::sleepUntil before its deadline: once (notify, as when a new picture
// arrives) or for good (requestStop). It waits on a mutex and a condition variable of its own, which
// the thread checker understands (libstdc++'s stop_token waits on futexes it does not model).
class WakeSignal {
public:
    // Wakes the sleep under way, or the next one at once when none is.
    void notify();
    // Wakes the sleep under way and every later one at once, until reset().
    void requestStop();
    bool stopRequested() const;
    // Forgets a stop and a notification not yet taken.
    void reset();

    // -- For clocks.
    // Waits under the signal's lock until `reached()` holds or the signal fires, and at most until
    // `until` when given; returns whether the signal fired. A notification stays to be taken.
    bool wait(const std::function<bool()>& reached,
              std::optional<std::chrono::steady_clock::time_point> until = std::nullopt);
    // Takes a notification that woke a wait.
    void take();
    // Whether a notification or a stop waits to be seen.
    bool pending() const;
    // Makes a waiter look at `reached()` again.
    void poke();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool notified_ = false;
    bool stopped_ = false;
};

// All waiting goes through a Clock so that tests can drive time instead of sleeping.
class Clock {
public:
    using TimerId = quint64;

    virtual ~Clock() = default;

    // Seconds on the monotonic clock since an arbitrary origin.
    virtual double uptime() const = 0;

    // Runs `fn` once on the main thread, `seconds` from now. Callable from any thread.
    virtual TimerId after(double seconds, std::function<void()> fn) = 0;

    // Forgets a pending call; a call that already ran or is unknown is ignored. Callable from any thread.
    virtual void cancel(TimerId id) = 0;

    // Blocks the calling thread until uptime() reaches `deadline` (an absolute time, so a loop that
    // sleeps to whole multiples of an interval does not drift) and returns true. Returns false at once
    // when the deadline has already passed, and early when `wake` fires meanwhile (a notification is
    // taken by the sleep it ends). For worker threads, never the main thread.
    virtual bool sleepUntil(double deadline, WakeSignal* wake = nullptr) = 0;

    // The process-wide clock: the system clock unless a test installed another.
    static Clock& shared();
    static void setShared(Clock* clock); // nullptr restores the system clock
};

// Monotonic time and Qt timers on the main thread.
class SystemClock final : public Clock {
public:
    SystemClock();
    ~SystemClock() override;
    double uptime() const override;
    TimerId after(double seconds, std::function<void()> fn) override;
    void cancel(TimerId id) override;
    bool sleepUntil(double deadline, WakeSignal* wake = nullptr) override;

private:
    struct Impl;
    Impl* d;
};
