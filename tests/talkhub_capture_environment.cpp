// Every library test runs with the private microphone of capture_source.h: silent unless a
// test gives it speech.
#include <gtest/gtest.h>

#include "capture_source.h"

namespace {

class PrivateMicrophone : public ::testing::Environment {
public:
    void SetUp() override { capture_source::install(); }
    void TearDown() override { capture_source::remove(); }
};

const auto* const kMicrophone = ::testing::AddGlobalTestEnvironment(new PrivateMicrophone);

}  // namespace
