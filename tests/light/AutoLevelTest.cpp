#include "light/AutoLevel.h"

#include <gtest/gtest.h>

namespace {

using light::autoLevelStep;

// Runs the step for a number of frames with a lamp count that depends on the threshold.
template <class LitFor>
int settle(int threshold, int maxLeds, int frames, LitFor litFor) {
    for (int i = 0; i < frames; ++i) {
        threshold = autoLevelStep(litFor(threshold), maxLeds, threshold, 150);
    }
    return threshold;
}

TEST(AutoLevel, AllowingAllSixteenWalksDownToTwoAndHolds) {
    EXPECT_EQ(settle(100, 16, 200, [](int) { return 16; }), 2);
}

TEST(AutoLevel, SilenceWalksDownOneStepPerFrame) {
    EXPECT_EQ(autoLevelStep(0, 6, 40, 150), 39);
    EXPECT_EQ(settle(40, 6, 37, [](int) { return 0; }), 3);
    EXPECT_EQ(settle(40, 6, 38, [](int) { return 0; }), 2);
    EXPECT_EQ(settle(40, 6, 100, [](int) { return 0; }), 2);
}

TEST(AutoLevel, ExactlyTheWantedNumberLowersTheThreshold) {
    EXPECT_EQ(autoLevelStep(6, 6, 40, 150), 39);
    EXPECT_EQ(autoLevelStep(7, 6, 40, 150), 41);
}

TEST(AutoLevel, WantingNoneRisesAfterAnyLitFrame) {
    EXPECT_EQ(autoLevelStep(1, 0, 40, 150), 41);
    EXPECT_EQ(autoLevelStep(0, 0, 40, 150), 39);
}

TEST(AutoLevel, NeverBeyondTheScrollBarMaximum) {
    EXPECT_EQ(autoLevelStep(16, 6, 150, 150), 150);
    EXPECT_EQ(settle(140, 0, 50, [](int) { return 16; }), 150);
    EXPECT_EQ(autoLevelStep(16, 6, 99, 100), 100);
}

TEST(AutoLevel, SettlesAroundTheWantedNumber) {
    // Lamps lit fall off linearly as the threshold rises: 16 at 0, none from 80 on.
    const auto lamps = [](int t) { return t >= 80 ? 0 : 16 - t / 5; };
    const int t = settle(2, 6, 300, lamps);
    EXPECT_LE(lamps(t), 7);
    EXPECT_GE(lamps(t + 1), 5);
}

}  // namespace
