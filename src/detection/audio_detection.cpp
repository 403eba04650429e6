#include "detection/audio_detection.h"

#include <limits>

void CAudioDetection::enable(bool on) { enabled = on; }

bool CAudioDetection::isEnable() const { return enabled; }

void CAudioDetection::setPause(bool pause) { paused = pause; }

bool CAudioDetection::isPause() const { return paused; }

void CAudioDetection::setActivate(bool value) { active = value; }

bool CAudioDetection::isActivate() const { return active; }

// Saturates instead of overflowing for values near the top of int.
void CAudioDetection::setActivateThreshold(int value) {
    constexpr int offset = 90;
    startProbability =
        value > std::numeric_limits<int>::max() - offset ? std::numeric_limits<int>::max() : value + offset;
}

int CAudioDetection::activateThreshold() const { return startProbability; }

void CAudioDetection::setMuteDurationMs(long long ms) { muteDuration = ms; }

long long CAudioDetection::muteDurationMs() const { return muteDuration; }
