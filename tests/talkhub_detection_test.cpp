// The speech detector on real speech (espeak-ng), silence and noise; the hang-over counted in
// 20 ms frames; switching it on and off while frames are judged.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "detection/audio_detection.h"
#include "speech_sample.h"

namespace {

using namespace std::chrono_literals;
using Clock = CAudioDetection::Clock;
constexpr unsigned int kFrame = CAudioDetection::kFrameSamples;

std::vector<short> noise(std::size_t samples, int amplitude, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> sample(-amplitude, amplitude);
    std::vector<short> out(samples);
    for (short& value : out) value = static_cast<short>(sample(generator));
    return out;
}

// Frames judged active among those of a signal, frame n at start + n * 20 ms.
struct Judged {
    std::size_t frames = 0;
    std::size_t active = 0;
    Clock::time_point next;
};

Judged judge(CAudioDetection& detector, std::vector<short> signal, Clock::time_point start) {
    Judged result{0, 0, start};
    for (std::size_t at = 0; at + kFrame <= signal.size(); at += kFrame) {
        result.active += detector.process(signal.data() + at, kFrame, result.next) ? 1 : 0;
        ++result.frames;
        result.next += 20ms;
    }
    return result;
}

const Clock::time_point kStart = Clock::time_point(10h);

TEST(AudioDetection, OffOrPausedJudgesNothingAndKeepsTheDecision) {
    CAudioDetection detector;
    std::vector<short> frame = noise(kFrame, 8000, 1);
    detector.setActivate(true);
    EXPECT_FALSE(detector.process(frame.data(), kFrame, kStart));
    EXPECT_TRUE(detector.isActivate());
    detector.enable(true);
    detector.setPause(true);
    EXPECT_FALSE(detector.process(frame.data(), kFrame, kStart));
    EXPECT_TRUE(detector.isActivate());
    detector.enable(false);
    detector.enable(false);
    EXPECT_FALSE(detector.isEnable());
}

TEST(AudioDetection, SeparatesSpeechFromSilenceAndNoise) {
    const std::vector<int16_t> spoken = speech_sample::make(speech_sample::kSentence);
    ASSERT_GT(spoken.size(), 8000U * 5) << "espeak-ng and sox are needed";
    CAudioDetection detector;
    detector.setActivateThreshold(0);  // the most sensitive setting
    detector.setMuteDurationMs(0);     // the bare judgement of each frame
    detector.enable(true);

    // Let the preprocessor learn the noise floor first.
    Judged quiet = judge(detector, noise(8000 * 3, 30, 2), kStart);
    Judged silence = judge(detector, noise(8000 * 3, 30, 3), quiet.next);
    Judged speech = judge(detector, std::vector<short>(spoken.begin(), spoken.end()), silence.next);
    const double silenceShare = static_cast<double>(silence.active) / static_cast<double>(silence.frames);
    const double speechShare = static_cast<double>(speech.active) / static_cast<double>(speech.frames);
    EXPECT_LT(silenceShare, 0.05) << "quiet room taken for speech";
    EXPECT_GT(speechShare, 0.4) << "speech missed";
}

TEST(AudioDetection, InitialThresholdTakesEverythingForSpeechAndTenTakesNothing) {
    CAudioDetection detector;
    EXPECT_EQ(detector.activateThreshold(), 6);
    detector.enable(true);
    Judged silence = judge(detector, std::vector<short>(8000, 0), kStart);
    EXPECT_EQ(silence.active, silence.frames);

    const std::vector<int16_t> spoken = speech_sample::make(speech_sample::kSentence);
    ASSERT_FALSE(spoken.empty());
    detector.setActivateThreshold(10);
    EXPECT_EQ(detector.activateThreshold(), 100);
    detector.setMuteDurationMs(0);
    Judged beforeReEnable = judge(detector, std::vector<short>(8000, 0), silence.next);
    EXPECT_EQ(beforeReEnable.active, beforeReEnable.frames) << "a new threshold waits for the next enable";
    detector.enable(true);
    Judged strict = judge(detector, std::vector<short>(spoken.begin(), spoken.end()), beforeReEnable.next);
    EXPECT_EQ(strict.active, 0U);
}

TEST(AudioDetection, HangOverLastsTheMuteDurationCountedInFrames) {
    CAudioDetection detector;
    detector.enable(true);  // threshold 6: the first frame is speech
    std::vector<short> frame(kFrame, 0);
    ASSERT_TRUE(detector.process(frame.data(), kFrame, kStart));
    detector.setActivateThreshold(10);
    detector.enable(true);  // from now on nothing is speech; the decision and its time stay
    int activeFrames = 0;
    Clock::time_point now = kStart;
    for (int n = 1; n <= 100; ++n) {
        now += 20ms;
        if (!detector.process(frame.data(), kFrame, now)) break;
        ++activeFrames;
    }
    EXPECT_EQ(activeFrames, 74) << "1500 ms after the last speech frame is frame 75";

    detector.setMuteDurationMs(0);
    detector.setActivate(true);
    EXPECT_FALSE(detector.process(frame.data(), kFrame, now + 20ms)) << "no hang-over at 0";
}

TEST(AudioDetection, BlockOfAnotherLengthIsSilentAndLeftUntouched) {
    CAudioDetection detector;
    detector.enable(true);  // threshold 6: every 160-sample frame is speech
    std::vector<short> frame = noise(kFrame, 4000, 4);
    ASSERT_TRUE(detector.process(frame.data(), kFrame, kStart));
    std::vector<short> odd = noise(100, 4000, 5);
    const std::vector<short> original = odd;
    EXPECT_TRUE(detector.process(odd.data(), 100, kStart + 20ms)) << "within the hang-over";
    EXPECT_EQ(odd, original) << "the preprocessor did not run";
    EXPECT_FALSE(detector.process(odd.data(), 100, kStart + 1500ms)) << "silent: the hang-over ends";
    EXPECT_FALSE(detector.process(nullptr, kFrame, kStart + 1600ms));
}

TEST(AudioDetection, SwitchingOnAndOffWhileFramesAreJudged) {
    CAudioDetection detector;
    detector.enable(true);
    std::atomic<bool> running{true};
    std::thread encoder([&] {
        std::vector<short> frame = noise(kFrame, 3000, 6);
        Clock::time_point now = kStart;
        for (int n = 0; n < 20000 && running; ++n) {
            detector.process(frame.data(), kFrame, now);
            now += 20ms;
        }
    });
    for (int round = 0; round < 300; ++round) {
        detector.enable(round % 2 == 0);
        detector.setPause(round % 7 == 0);
        detector.setActivateThreshold(round % 10);
    }
    running = false;
    encoder.join();
    detector.enable(false);
    EXPECT_FALSE(detector.isEnable());
}

}  // namespace
