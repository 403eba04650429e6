// The speech detector behind the voice-activated microphone: its switches and settings.
// Every field is read on the encode thread and written from host threads, so each is an
// atomic word.
#pragma once

#include <atomic>

class CAudioDetection {
public:
    void enable(bool on);
    bool isEnable() const;
    // While paused every frame is judged silent.
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

private:
    std::atomic<bool> enabled{false};
    std::atomic<bool> paused{false};
    std::atomic<bool> active{false};
    std::atomic<int> startProbability{6};
    std::atomic<long long> muteDuration{1500};
};
