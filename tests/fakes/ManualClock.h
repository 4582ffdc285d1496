#pragma once

#include "base/Clock.h"

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

    // Moves time forward, running every call that falls due, in deadline order, on the calling thread.
    void advance(double seconds);
    size_t pendingCount() const;

private:
    mutable std::mutex mutex_;
    double now_ = 1000.0;
    TimerId nextId_ = 1;
    // (deadline, id) keeps calls with the same deadline in the order they were made.
    std::map<std::pair<double, TimerId>, std::function<void()>> pending_;
};
