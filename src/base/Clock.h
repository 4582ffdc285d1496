#pragma once

#include <QtGlobal>
#include <functional>
#include <stop_token>

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
    // when the deadline has already passed, and early when `stop` is requested meanwhile. For worker
    // threads, never the main thread.
    virtual bool sleepUntil(double deadline, std::stop_token stop = {}) = 0;

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
    bool sleepUntil(double deadline, std::stop_token stop = {}) override;

private:
    struct Impl;
    Impl* d;
};
