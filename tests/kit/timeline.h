// What happened, in order: each host's events as its talkhub-cli printed them, and the
// driving program's own steps, on one clock from the start. Printed as it grows to the
// outputs given (none for a quiet one), kept for waiting, checks and summaries.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace talkhub_demo {

using Clock = std::chrono::steady_clock;

struct Entry {
    Clock::time_point at;
    std::string who;   // "alice", "bob", or "demo"
    std::string line;  // the JSON line a host printed, or the demo's own text
};

class Timeline {
public:
    explicit Timeline(std::vector<std::FILE*> outputs) : outputs_(std::move(outputs)) {}

    Clock::time_point start() const { return start_; }
    double seconds(Clock::time_point at) const { return std::chrono::duration<double>(at - start_).count(); }

    void add(const std::string& who, const std::string& line);

    // The first entry of `who` at or after `since` whose line holds every one of `needles`,
    // waiting up to `timeout` for it.
    std::optional<Entry> waitFor(const std::string& who, const std::vector<std::string>& needles,
                                 Clock::time_point since, std::chrono::milliseconds timeout);

    // The notification codes `who` received, in order.
    std::vector<int> notifications(const std::string& who) const;

private:
    void print(const Entry& entry);

    const Clock::time_point start_ = Clock::now();
    const std::vector<std::FILE*> outputs_;
    mutable std::mutex mutex_;
    std::condition_variable added_;
    std::vector<Entry> entries_;
};

// The text of a string field of a one-line JSON object ("" when absent), unescaped.
std::string jsonText(const std::string& line, const std::string& field);

}  // namespace talkhub_demo
