// A microphone that this program feeds to another process at real-time pace: a FIFO that
// the other process's ALSA file plugin reads, written 20 ms at a time by a thread of its
// own. Silent unless told to say something; the moment the first chunk of each utterance
// went in is noted, and everything written is kept, so that what was "spoken" can be laid
// on a clock.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture_source.h"

class FifoMicrophone {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kChunkSamples = 160;  // 20 ms at 8000 Hz

    // Makes `name`.fifo and `name`.conf (the ALSA configuration that reads it) in `folder`.
    FifoMicrophone(const std::filesystem::path& folder, const std::string& name)
        : config_((folder / (name + ".conf")).string()) {
        const std::filesystem::path pipe = folder / (name + ".fifo");
        ::mkfifo(pipe.c_str(), 0600);
        // Opened for reading too, so that the open does not wait for the reader; and only
        // here: a child that inherited it would keep the reader from ever seeing its end.
        fifo_ = ::open(pipe.c_str(), O_RDWR | O_CLOEXEC);
        std::ofstream(config_) << capture_source::fileConfig(pipe);
    }
    // Closing the FIFO ends the reader's reads, so that it can close its microphone.
    ~FifoMicrophone() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fifo_ >= 0) ::close(fifo_);
    }
    FifoMicrophone(const FifoMicrophone&) = delete;
    FifoMicrophone& operator=(const FifoMicrophone&) = delete;

    bool ready() const { return fifo_ >= 0; }
    // The ALSA configuration (for ALSA_CONFIG_PATH) whose default capture device reads it.
    const std::string& alsaConfig() const { return config_; }

    // Starts the pace: best once the reader has opened the device, or the FIFO fills with
    // silence that the reader then hears late.
    void start() {
        thread_ = std::thread([this] { run(); });
    }

    // Says `samples` from the next chunk on, once, or over and over with `loop`; returns the
    // moment its first chunk went into the FIFO (at once, before start()).
    Clock::time_point say(std::vector<int16_t> samples, bool loop = false) {
        if (!thread_.joinable()) return Clock::now();
        std::unique_lock lock(mutex_);
        speech_ = std::move(samples);
        spoken_ = 0;
        loop_ = loop;
        begun_ = false;
        changed_.wait(lock, [this] { return begun_ || stop_; });
        return begunAt_;
    }

    void silence() {
        std::lock_guard lock(mutex_);
        speech_.clear();
        spoken_ = 0;
    }

    // Everything written so far, and the moment the first chunk of it went in.
    std::vector<int16_t> written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }
    Clock::time_point startedAt() const {
        std::lock_guard lock(mutex_);
        return startedAt_;
    }

private:
    void run() {
        auto next = Clock::now();
        std::vector<int16_t> chunk(kChunkSamples);
        while (!stop_) {
            bool begins = false;
            {
                std::lock_guard lock(mutex_);
                std::fill(chunk.begin(), chunk.end(), 0);
                for (int16_t& sample : chunk) {
                    if (spoken_ >= speech_.size() && loop_) spoken_ = 0;
                    if (spoken_ >= speech_.size()) break;
                    begins = begins || spoken_ == 0;
                    sample = speech_[spoken_++];
                }
            }
            const Clock::time_point at = Clock::now();
            if (::write(fifo_, chunk.data(), chunk.size() * 2) < 0) break;
            {
                std::lock_guard lock(mutex_);
                if (written_.empty()) startedAt_ = at;
                written_.insert(written_.end(), chunk.begin(), chunk.end());
                if (begins) {
                    begunAt_ = at;
                    begun_ = true;
                    changed_.notify_all();
                }
            }
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
        std::lock_guard lock(mutex_);
        stop_ = true;
        changed_.notify_all();
    }

    std::string config_;
    int fifo_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int16_t> speech_;
    std::size_t spoken_ = 0;
    bool loop_ = false;
    bool begun_ = false;
    Clock::time_point begunAt_;
    std::vector<int16_t> written_;
    Clock::time_point startedAt_;
};
