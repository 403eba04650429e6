// The headline figures of a benchmark, one line each, which bench/run-all gathers into one
// table: the figure, its goal, a baseline measured in the same run (or a fixed one: the
// design's floor, real time) and the figure's ratio to it. A brief run (TALKHUB_BENCH_BRIEF
// set, as CI does) only proves that a benchmark still works; its figures mean little.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace bench {

inline bool brief() {
    const char* value = std::getenv("TALKHUB_BENCH_BRIEF");
    return value != nullptr && *value != '\0' && *value != '0';
}

// `full` in a real run, a tenth of it (at least 1) in a brief one.
inline int scaled(int full) { return brief() ? (full / 10 > 0 ? full / 10 : 1) : full; }

struct Figure {
    const char* name;
    double value;
    const char* unit;
    const char* goal;
    const char* baseline;
    double baselineValue;  // in the figure's unit; 0 when there is none
};

// "figure|name|value|unit|goal|baseline|baseline value"
inline void report(const Figure& figure) {
    std::printf("figure|%s|%.4g|%s|%s|%s|%.4g\n", figure.name, figure.value, figure.unit, figure.goal, figure.baseline,
                figure.baselineValue);
    std::fflush(stdout);
}

}  // namespace bench
