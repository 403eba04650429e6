// Every library test runs with the private microphone of capture_source.h, silent unless a
// test gives it speech, and with SDL's disk driver as its speaker (playback_sink.h).
#include <gtest/gtest.h>

#include "capture_source.h"
#include "playback_sink.h"

namespace {

class PrivateDevices : public ::testing::Environment {
public:
    void SetUp() override {
        capture_source::install();
        playback_sink::install();
    }
    void TearDown() override {
        capture_source::remove();
        playback_sink::remove();
    }
};

const auto* const kDevices = ::testing::AddGlobalTestEnvironment(new PrivateDevices);

}  // namespace
