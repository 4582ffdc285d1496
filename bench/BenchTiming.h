#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

// The benches' clock and their two figures of a run of timings.
namespace bench {

using SteadyClock = std::chrono::steady_clock;

struct Figures {
    double median = 0, p99 = 0;
};

// Median and 99th percentile of `us`, which must not be empty.
inline Figures figures(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

// Microseconds from `start` to now.
inline double since(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count();
}

} // namespace bench
