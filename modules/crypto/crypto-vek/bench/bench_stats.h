// Statistics of a benchmark measured in interleaved rounds: the median and the spread of
// each contender over the rounds, and ratios printed only when their spread allows, on the
// "RATIO" lines scripts/run-benchmarks.sh collects (the same lines and limit as
// binding/bench/bench_stats.py).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include <sched.h>

namespace bench_stats {

// Above this spread of a ratio over the rounds, its median says nothing about a goal a few
// percent away.
constexpr double kSpreadLimit = 0.05;

// The CPUs this process may run on, in order.
inline std::vector<int> allowed_cpus() {
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    return cpus;
}

// Keeps the calling thread on one CPU. Contenders compared on one CPU see the same speed:
// on a shared machine one CPU can be several times slower than its neighbours for minutes.
inline bool pin_thread(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

inline double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The interquartile range over the median (the whole range for fewer than four rounds).
inline double spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t quarter = values.size() / 4;
    const double centre = median(values);
    if (centre == 0) return std::numeric_limits<double>::infinity();
    return (values[values.size() - 1 - quarter] - values[quarter]) / std::fabs(centre);
}

// `function` applied to the figures of each round.
template <class Function>
std::vector<double> per_round(const std::vector<double> &a, const std::vector<double> &b, Function function) {
    std::vector<double> out;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) out.push_back(function(a[i], b[i]));
    return out;
}

inline void print_figures(const char *name, const std::vector<double> &values, const char *unit) {
    std::printf("  %-34s median %12.3f %-6s spread %5.1f%%\n", name, median(values), unit, 100 * spread(values));
}

inline void print_ratio(const char *label, const std::vector<double> &ratios, const char *goal = "") {
    const double width = spread(ratios);
    char value[32] = "untrusted";
    if (width <= kSpreadLimit) std::snprintf(value, sizeof value, "%.3f", median(ratios));
    std::printf("RATIO %-52s %9s  spread %5.1f%%  %s", label, value, 100 * width, goal);
    if (width > kSpreadLimit) std::printf("  (spread above %.0f%%)", 100 * kSpreadLimit);
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace bench_stats
