// Google Benchmark runs whose rates become summary figures: the console's table is printed
// as usual, and each run's items per second is handed to the benchmark's own `rated`, which
// reports what it makes of it (bench::report).
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Rated = std::function<void(const std::string& name, double itemsPerSecond)>;

class RateReporter : public benchmark::ConsoleReporter {
public:
    explicit RateReporter(Rated rated) : rated_(std::move(rated)) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) rated_(run.benchmark_name(), rate->second);
        }
    }

private:
    Rated rated_;
};

// Runs every registered benchmark, each rate to `rated`.
inline int runRated(int argc, char** argv, Rated rated) {
    benchmark::Initialize(&argc, argv);
    RateReporter reporter(std::move(rated));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace bench
