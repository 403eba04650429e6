// A host callback that a benchmark waits for: its result and the moment it was called. The
// time is taken inside the callback, so a figure is the library's and not the time the
// waiting thread needs to wake up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

namespace bench {

class CallbackEvent {
public:
    using Clock = std::chrono::steady_clock;

    // Called from the callback.
    void record(int result) {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(mutex_);
        time_ = now;
        result_ = result;
        seen_ = true;
        changed_.notify_all();
    }

    // Takes the next call: its time when its result was 0, nothing on a failure or when no
    // call came within 5 s.
    std::optional<Clock::time_point> await() {
        std::unique_lock lock(mutex_);
        const bool seen = changed_.wait_for(lock, std::chrono::seconds(5), [this] { return seen_; });
        seen_ = false;
        if (!seen || result_ != 0) return std::nullopt;
        return time_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool seen_ = false;
    int result_ = 0;
    Clock::time_point time_;
};

}  // namespace bench
