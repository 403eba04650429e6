// Median and p99 of timed samples, for the end-to-end benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

inline double micros(std::chrono::steady_clock::duration elapsed) {
    return std::chrono::duration<double, std::micro>(elapsed).count();
}

struct Summary {
    double median = 0;
    double p99 = 0;
};

inline Summary summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

}  // namespace bench
