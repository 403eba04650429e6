// CPU time for the benchmarks: of the calling thread, of the process, of each named thread
// of this process from /proc (the library and its helpers name their threads, so a
// benchmark can tell its own threads from the library's), and of a child process.
#pragma once

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

namespace bench {

inline double clockSeconds(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

inline double threadCpuSeconds() { return clockSeconds(CLOCK_THREAD_CPUTIME_ID); }

inline double processCpuSeconds() { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID); }

// The time another process (a server the benchmark started) has run on a processor, over
// all its threads, at the scheduler's nanosecond resolution.
inline double processCpuSeconds(pid_t pid) {
    double nanoseconds = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double running = 0;
        schedstat >> running;
        nanoseconds += running;
    }
    return nanoseconds / 1e9;
}

inline std::map<std::string, double> threadCpu() {
    std::map<std::string, double> seconds;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream commFile(task.path() / "comm");
        std::string name;
        std::getline(commFile, name);
        std::ifstream statFile(task.path() / "stat");
        const std::string text((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        unsigned long user = 0, system = 0;
        if (close == std::string::npos ||
            std::sscanf(text.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                        &system) != 2) {
            continue;
        }
        seconds[name] += static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    return seconds;
}

}  // namespace bench
