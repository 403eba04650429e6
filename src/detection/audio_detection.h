// The speech detector behind the voice-activated microphone: a speexdsp preprocessor with
// voice activity detection, plus a hang-over that keeps the decision active until no speech
// has been heard for the mute duration. process() runs on the encode thread, everything
// else on host or network threads.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>

struct SpeexPreprocessState_;

class CAudioDetection {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned int kFrameSamples = 160;

    CAudioDetection() = default;
    ~CAudioDetection();
    CAudioDetection(const CAudioDetection&) = delete;
    CAudioDetection& operator=(const CAudioDetection&) = delete;

    // On: a fresh preprocessor with the stored threshold; off: the preprocessor goes. Waits
    // for a running process() to finish first.
    void enable(bool on);
    bool isEnable() const;
    // While paused every frame is judged inactive and the preprocessor does not run.
    void setPause(bool pause);
    bool isPause() const;
    // Forces the current decision (the push-to-talk requests in voice-activated mode).
    void setActivate(bool active);
    bool isActivate() const;
    // Stores value + 90 as the speech start probability, in percent.
    void setActivateThreshold(int value);
    int activateThreshold() const;
    // Silence after the last speech frame that ends the active state.
    void setMuteDurationMs(long long ms);
    long long muteDurationMs() const;

    // Judges one 20 ms frame of 160 samples, noise-suppressing it in place; returns the
    // decision. A block of any other length is judged silent without running the
    // preprocessor.
    bool process(short* frame, unsigned int length);
    // The same at a given time (the hang-over is measured against it).
    bool process(short* frame, unsigned int length, Clock::time_point now);

private:
    std::atomic<bool> enabled{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> active{false};
    std::atomic<int> startProbability{6};
    std::atomic<long long> muteDuration{1500};
    Clock::time_point lastVoiceTime{};
    // Held by process() for one run and by enable() while it replaces the preprocessor, so
    // the preprocessor is never destroyed under a run.
    std::mutex preprocessorLock;
    SpeexPreprocessState_* preprocessor = nullptr;
};
