// One protected direction: what a sealer seals opens only unaltered, under its own key and
// counter; the replay window takes each datagram counter once, in any order within its
// width, and agrees with a plain model of itself over a long run of counters.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "replay_window.h"
#include "sealing.h"

namespace {

using talkwire::ReplayWindow;
using talkwire::Sealer;
constexpr uint64_t kWidth = ReplayWindow::kWidth;

std::array<uint8_t, Sealer::kKeyBytes> keyOf(uint8_t fill) {
    std::array<uint8_t, Sealer::kKeyBytes> key{};
    key.fill(fill);
    return key;
}

TEST(ReplayWindow, EachCounterIsTakenOnceInAnyOrderWithinTheWidth) {
    ReplayWindow window;
    EXPECT_TRUE(window.take(5));
    EXPECT_TRUE(window.take(3)) << "late but within the width";
    EXPECT_TRUE(window.take(7));
    EXPECT_TRUE(window.take(6));
    for (uint64_t counter : {3, 5, 6, 7}) EXPECT_FALSE(window.take(counter)) << counter;
    EXPECT_TRUE(window.fresh(4));
    EXPECT_TRUE(window.take(0)) << "the very first counter";
}

TEST(ReplayWindow, TheWidthEndsExactlyWhereItSays) {
    ReplayWindow window;
    const uint64_t highest = 10 * kWidth + 17;
    ASSERT_TRUE(window.take(highest));
    EXPECT_TRUE(window.fresh(highest - (kWidth - 1))) << "the oldest counter within the width";
    EXPECT_FALSE(window.fresh(highest - kWidth)) << "one past it";
    EXPECT_TRUE(window.take(highest - (kWidth - 1)));
    EXPECT_FALSE(window.take(highest - kWidth));
}

// A jump clears what the window moves onto: counters that share a slot with ones taken
// before the jump are new, and those taken are refused only while still within the width.
TEST(ReplayWindow, AJumpForgetsWhatFellBelowAndKeepsWhatStayedWithin) {
    for (const uint64_t jump :
         {uint64_t{1}, uint64_t{63}, uint64_t{64}, kWidth - 1, kWidth, kWidth + 64, 100 * kWidth}) {
        SCOPED_TRACE(jump);
        ReplayWindow window;
        for (uint64_t counter = 0; counter < 2 * kWidth; ++counter) ASSERT_TRUE(window.take(counter));
        const uint64_t before = 2 * kWidth - 1;
        ASSERT_TRUE(window.take(before + jump));
        for (uint64_t counter = before + 1; counter < before + jump && counter < before + 2 * kWidth; ++counter) {
            ASSERT_EQ(window.fresh(counter), before + jump - counter < kWidth) << counter;
        }
        for (uint64_t back = 0; back < kWidth && back <= before; ++back) {
            ASSERT_FALSE(window.fresh(before - back)) << "taken before the jump, or below the window";
        }
    }
}

// A long run of counters around the highest, repeats and stragglers among them, against a
// model that remembers every counter it took.
TEST(ReplayWindow, AgreesWithAModelThatRemembersEverything) {
    std::mt19937_64 random(20261209);
    ReplayWindow window;
    std::set<uint64_t> taken;
    uint64_t highest = 0;
    for (int step = 0; step < 100000; ++step) {
        const int64_t offset = static_cast<int64_t>(random() % (3 * kWidth)) - static_cast<int64_t>(2 * kWidth) + 8;
        const uint64_t counter = offset < 0 && static_cast<uint64_t>(-offset) > highest ? 0 : highest + offset;
        const bool expected =
            taken.empty() || counter > highest || (highest - counter < kWidth && taken.count(counter) == 0);
        ASSERT_EQ(window.take(counter), expected) << "step " << step << " counter " << counter;
        if (expected) {
            taken.insert(counter);
            highest = std::max(highest, counter);
        }
    }
}

TEST(Sealer, WhatIsSealedOpensOnlyUnalteredUnderItsKeyAndCounter) {
    Sealer sender(keyOf(7));
    const Sealer receiver(keyOf(7));
    const Sealer stranger(keyOf(8));
    const std::vector<uint8_t> message{'t', 'a', 'l', 'k'};
    const std::vector<uint8_t> associated{0x11, 0x22};
    std::vector<uint8_t> sealed(message.size() + Sealer::kTagBytes);
    ASSERT_EQ(sender.seal(message, associated, sealed.data()), 0u);
    std::vector<uint8_t> second(sealed.size());
    ASSERT_EQ(sender.seal(message, associated, second.data()), 1u) << "the next counter";
    EXPECT_NE(sealed, second) << "the same message under another counter";

    std::vector<uint8_t> opened(message.size());
    ASSERT_TRUE(receiver.open(0, sealed, associated, opened.data()));
    EXPECT_EQ(opened, message);
    EXPECT_FALSE(receiver.open(1, sealed, associated, opened.data())) << "another counter";
    EXPECT_FALSE(stranger.open(0, sealed, associated, opened.data())) << "another key";
    EXPECT_FALSE(receiver.open(0, sealed, std::vector<uint8_t>{0x11, 0x23}, opened.data())) << "other associated data";
    for (std::size_t i = 0; i < sealed.size(); ++i) {
        std::vector<uint8_t> altered = sealed;
        altered[i] ^= 0x01;
        EXPECT_FALSE(receiver.open(0, altered, associated, opened.data())) << "byte " << i << " flipped";
    }
    EXPECT_FALSE(receiver.open(0, std::span(sealed).first(Sealer::kTagBytes - 1), associated, opened.data()))
        << "shorter than a tag";
    EXPECT_FALSE(receiver.open(0, std::span(sealed).first(sealed.size() - 1), associated, opened.data()))
        << "cut short";

    std::vector<uint8_t> emptySealed(Sealer::kTagBytes);
    const auto counter = sender.seal({}, associated, emptySealed.data());
    ASSERT_TRUE(counter);
    uint8_t nothing = 0;
    EXPECT_TRUE(receiver.open(*counter, emptySealed, associated, &nothing)) << "an empty message is only its tag";
}

}  // namespace
