#include "detection/audio_detection.h"

#include <speex/speex_preprocess.h>

#include <limits>

namespace {

constexpr int kSampleRate = 8000;
constexpr int kContinueProbability = 100;

}  // namespace

CAudioDetection::~CAudioDetection() { enable(false); }

void CAudioDetection::enable(bool on) {
    enabled = false;
    std::lock_guard lock(preprocessorLock);
    if (preprocessor != nullptr) {
        speex_preprocess_state_destroy(preprocessor);
        preprocessor = nullptr;
    }
    if (!on) return;
    preprocessor = speex_preprocess_state_init(static_cast<int>(kFrameSamples), kSampleRate);
    if (preprocessor == nullptr) return;
    int vad = 1;
    int start = startProbability;
    int proceed = kContinueProbability;
    speex_preprocess_ctl(preprocessor, SPEEX_PREPROCESS_SET_VAD, &vad);
    speex_preprocess_ctl(preprocessor, SPEEX_PREPROCESS_SET_PROB_START, &start);
    speex_preprocess_ctl(preprocessor, SPEEX_PREPROCESS_SET_PROB_CONTINUE, &proceed);
    enabled = true;
}

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

bool CAudioDetection::process(short* frame, unsigned int length) { return process(frame, length, Clock::now()); }

bool CAudioDetection::process(short* frame, unsigned int length, Clock::time_point now) {
    if (!enabled || paused) return false;
    std::lock_guard lock(preprocessorLock);
    // enable(false) may have run between the test above and the lock.
    if (!enabled || preprocessor == nullptr) return false;
    const bool speech = frame != nullptr && length == kFrameSamples && speex_preprocess_run(preprocessor, frame) != 0;
    if (speech) {
        active = true;
        lastVoiceTime = now;
    } else {
        const long long silentMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastVoiceTime).count();
        if (silentMs >= muteDuration) active = false;
    }
    return active;
}
