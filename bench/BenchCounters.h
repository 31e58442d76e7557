#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

namespace Bench {

using Clock = std::chrono::steady_clock;

inline double microseconds(Clock::duration span) {
    return std::chrono::duration<double, std::micro>(span).count();
}

// Median, 99th percentile and maximum of the latencies, as the benchmark's counters.
inline void reportLatencies(benchmark::State& state, std::vector<double> micros) {
    if (micros.empty()) {
        state.SkipWithError("no samples");
        return;
    }
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double quantile) {
        const auto index = static_cast<std::size_t>(std::ceil(quantile * static_cast<double>(micros.size())));
        return micros[std::min(std::max<std::size_t>(index, 1) - 1, micros.size() - 1)];
    };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = micros.back();
    state.counters["samples"] = static_cast<double>(micros.size());
}

// The CPU time the whole process has used so far.
inline double processCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

} // namespace Bench

namespace Bench {

// The value at this quantile (0..1) of sorted samples: the smallest sample that at
// least that share of the samples does not exceed. 0 when there are none.
inline double quantile(const std::vector<double>& sorted, double share) {
    if (sorted.empty())
        return 0.0;
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::min(std::max<std::size_t>(rank, 1) - 1, sorted.size() - 1)];
}

} // namespace Bench
