// When each sample of a speaker that SDL's disk driver writes to a file was due to play.
// The driver mixes one 128 ms buffer (1024 samples) and writes it at once; the C library
// flushes that file a 4096-byte block at a time, at the write that follows a full block,
// so each growth of the file dates the buffer written with it. Buffers in between are
// dated by interpolation, and a sample's moment is its buffer's plus its place in it.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Notes every growth of the speaker's file, with its moment, polling each millisecond.
class SpeakerWatch {
public:
    using Clock = std::chrono::steady_clock;
    struct Growth {
        std::size_t bytes;
        Clock::time_point at;
    };

    explicit SpeakerWatch(std::string path) : path_(std::move(path)), thread_([this] { run(); }) {}
    ~SpeakerWatch() { stop(); }
    SpeakerWatch(const SpeakerWatch&) = delete;
    SpeakerWatch& operator=(const SpeakerWatch&) = delete;

    std::vector<Growth> stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return growths_;
    }

private:
    void run() {
        std::size_t last = 0;
        while (!stop_) {
            struct stat status {};
            const auto now = Clock::now();
            if (::stat(path_.c_str(), &status) == 0 && static_cast<std::size_t>(status.st_size) != last) {
                last = static_cast<std::size_t>(status.st_size);
                growths_.push_back({last, now});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::string path_;
    std::atomic<bool> stop_{false};
    std::vector<Growth> growths_;
    std::thread thread_;
};

// The moment the mixer produced each buffer: a growth to `bytes` came with the write of
// buffer bytes / 2048; the buffers between two growths lie evenly between them.
class BufferClock {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kBufferSamples = 1024;

    explicit BufferClock(const std::vector<SpeakerWatch::Growth>& growths) {
        for (const auto& growth : growths) {
            if (growth.bytes % (kBufferSamples * 2) == 0)
                anchors_.push_back({growth.bytes / (kBufferSamples * 2), growth.at});
        }
    }

    std::optional<Clock::time_point> bufferTime(std::size_t buffer) const {
        for (std::size_t i = 1; i < anchors_.size(); ++i) {
            const auto& [fromIndex, from] = anchors_[i - 1];
            const auto& [toIndex, to] = anchors_[i];
            if (buffer < fromIndex || buffer > toIndex) continue;
            const double share = static_cast<double>(buffer - fromIndex) / static_cast<double>(toIndex - fromIndex);
            return from + std::chrono::duration_cast<Clock::duration>((to - from) * share);
        }
        return std::nullopt;
    }

    std::optional<Clock::time_point> sampleTime(std::size_t sample) const {
        const auto buffer = bufferTime(sample / kBufferSamples);
        if (!buffer) return std::nullopt;
        return *buffer + std::chrono::microseconds(static_cast<long long>(sample % kBufferSamples) * 125);
    }

    // The mean time between buffers, in ms: 128 when the dating holds.
    double bufferPeriodMs() const {
        if (anchors_.size() < 2) return 0;
        return std::chrono::duration<double, std::milli>(anchors_.back().second - anchors_.front().second).count() /
               static_cast<double>(anchors_.back().first - anchors_.front().first);
    }

private:
    std::vector<std::pair<std::size_t, Clock::time_point>> anchors_;
};
