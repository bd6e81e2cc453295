#include "light/LampControl.h"

#include <gtest/gtest.h>

namespace {

using light::decideLamp;

TEST(LampDecision, OnlyALevelAboveTheThresholdLights) {
    std::int32_t pattern = 0;
    std::int16_t lit = 0;
    EXPECT_FALSE(decideLamp(40.0F, 40, 5, 0, pattern, lit).on);
    EXPECT_TRUE(decideLamp(41.0F, 40, 5, 0, pattern, lit).on);
    EXPECT_FALSE(decideLamp(-4.0F, 2, 5, 0, pattern, lit).on);
    EXPECT_EQ(lit, 1);
}

TEST(LampDecision, ThresholdAtTheCapLightsNothing) {
    std::int32_t pattern = 0;
    std::int16_t lit = 0;
    for (int band = light::kFirstBand; band <= light::kLastBand; ++band) {
        EXPECT_FALSE(decideLamp(127.0F, 127, band, 0, pattern, lit).on);
        EXPECT_FALSE(decideLamp(127.0F, 150, band, 0, pattern, lit).on);
    }
    EXPECT_EQ(pattern, 0);
    EXPECT_EQ(lit, 0);
}

TEST(LampDecision, BuildsThePatternBandByBand) {
    std::int32_t pattern = 0;
    std::int16_t lit = 0;
    const float levels[] = {50, 10, 60, 70, 0, 0, 0, 127};  // bands 2..9
    for (int band = 2; band <= 9; ++band) {
        decideLamp(levels[band - 2], 20, band, 0, pattern, lit);
    }
    EXPECT_EQ(pattern, 0b1000'1101);
    EXPECT_EQ(lit, 4);
}

TEST(LampColour, GreenWhenOnRedWhenTheBandPeaksBlackWhenOff) {
    std::int32_t pattern = 0;
    std::int16_t lit = 0;
    const std::int16_t peakBand4 = 1 << 2;
    EXPECT_EQ(decideLamp(125.0F, 10, 4, peakBand4, pattern, lit).colour, light::kLampPeak);
    EXPECT_EQ(decideLamp(125.0F, 10, 5, peakBand4, pattern, lit).colour, light::kLampOn);
    // A peak bit without the lamp on paints nothing.
    EXPECT_EQ(decideLamp(5.0F, 10, 4, peakBand4, pattern, lit).colour, light::kLampOff);
}

}  // namespace
