#include "light/Show.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "light/LampControl.h"

namespace light {
namespace {

using kf::Links;
using kf::Rechts;

// Records what the frame hands to the boards, and what the patterns were when it did.
struct RecordingOutputs : FrameOutputs {
    explicit RecordingOutputs(kf::SharedState& s) : state(s) {}
    void sendPatterns() override {
        sent.push_back(
            {state.LedPattern(Links), state.LedPattern(Rechts), state.PeakLinks, state.PeakRechts});
    }
    void sendFrame() override {
        frames.push_back({state.LedPattern(Links), state.LedPattern(Rechts)});
    }

    kf::SharedState& state;
    std::vector<std::array<int, 4>> sent;
    std::vector<std::array<int, 2>> frames;
};

class Frame : public ::testing::Test {
  protected:
    kf::SharedState state;
    RecordingOutputs outputs{state};
    Show show{state, outputs};
    FrameSettings settings{20, 120, false, 6};

    // One whole frame: band n gets levels[n - 2] on each side.
    std::vector<BandResult> run(const std::array<float, 8>& left,
                                const std::array<float, 8>& right) {
        std::vector<BandResult> results;
        for (int band = kFirstBand; band <= kLastBand; ++band) {
            results.push_back(show.band(band, left[band - 2], right[band - 2], settings));
            if (results.back().thresholdMoved) {
                settings.threshold = results.back().threshold;  // as the window's scroll bar
            }
        }
        show.frameDone(settings.autoLevel);
        return results;
    }
};

TEST_F(Frame, EveryBandLightsItsOwnBitAndOutputOnItsOwnSide) {
    for (int band = kFirstBand; band <= kLastBand; ++band) {
        SCOPED_TRACE(band);
        std::array<float, 8> left{}, right{};
        left.fill(-4.0F);
        right.fill(-4.0F);
        left[band - 2] = 60.0F;
        right[kLastBand - band] = 60.0F;  // the mirror band on the right
        outputs.frames.clear();
        const auto results = run(left, right);
        EXPECT_EQ(state.LedPattern(Links), 1 << (band - 2));
        EXPECT_EQ(state.LedPattern(Rechts), 1 << (kLastBand - band));
        EXPECT_EQ(results[band - 2].colourLinks, kLampOn);
        EXPECT_EQ(results[band - 2].colourRechts,
                  band == kLastBand - band + 2 ? kLampOn : kLampOff);
        // Once every lamp is decided, the frame goes out as it stands.
        ASSERT_EQ(outputs.frames.size(), 1U);
        EXPECT_EQ(outputs.frames[0],
                  (std::array<int, 2>{1 << (band - 2), 1 << (kLastBand - band)}));
    }
}

TEST_F(Frame, ThePreviousFramesPatternsAndMasksGoOutAtBandTwoThenStartEmpty) {
    std::array<float, 8> quiet{};
    quiet.fill(-4.0F);
    std::array<float, 8> some = quiet;
    some[0] = 50.0F;  // band 2
    some[5] = 50.0F;  // band 7
    run(some, quiet);
    ASSERT_EQ(outputs.sent.size(), 1U);
    EXPECT_EQ(outputs.sent[0], (std::array<int, 4>{0, 0, 0, 0}));
    // The analysis sets the peak bits of the new frame's bands before they are handed on: band
    // 2's bit is in the mask sent at band 2, then cleared before band 2's lamp gets its colour.
    state.PeakLinks = 0b0010'0001;
    const auto results = run(some, quiet);
    ASSERT_EQ(outputs.sent.size(), 2U);
    EXPECT_EQ(outputs.sent[1], (std::array<int, 4>{0b0010'0001, 0, 0b0010'0001, 0}));
    EXPECT_EQ(results[0].colourLinks, kLampOn) << "band 2's peak bit is gone by then";
    EXPECT_EQ(state.PeakLinks, 0);
}

TEST_F(Frame, APeakingBandShowsRedWhileItsBitIsInTheMask) {
    std::array<float, 8> quiet{};
    quiet.fill(-4.0F);
    std::array<float, 8> loud = quiet;
    loud[3] = 125.0F;  // band 5
    std::vector<BandResult> results;
    for (int band = kFirstBand; band <= kLastBand; ++band) {
        if (band == 5) {
            state.PeakLinks = static_cast<std::int16_t>(state.PeakLinks | (1 << 3));
        }
        results.push_back(show.band(band, loud[band - 2], quiet[band - 2], settings));
    }
    EXPECT_EQ(results[3].colourLinks, kLampPeak);
}

TEST_F(Frame, TheAutomaticLevelStepsAtBandTwoAndTheFrameUsesTheNewThreshold) {
    settings.autoLevel = true;
    settings.wantedLamps = 2;
    std::array<float, 8> levels{};
    levels.fill(19.5F);
    // Nothing was lit before: the threshold comes down to 19, and this frame lights all 16.
    auto results = run(levels, levels);
    ASSERT_TRUE(results[0].thresholdMoved);
    EXPECT_EQ(results[0].threshold, 19);
    EXPECT_EQ(state.LedPattern(Links), 0xFF);
    EXPECT_EQ(state.LitCount, 16) << "kept for the next step with the automatic level on";
    // 16 lit, 2 wanted: back up to 20, which this frame's 19.5 no longer passes.
    results = run(levels, levels);
    ASSERT_TRUE(results[0].thresholdMoved);
    EXPECT_EQ(results[7].threshold, 20);
    EXPECT_EQ(state.LedPattern(Links), 0);
    EXPECT_EQ(results[0].colourLinks, kLampOff);
    EXPECT_EQ(state.LitCount, 0);
}

TEST_F(Frame, WithoutTheAutomaticLevelTheLampCountStartsOverEachFrame) {
    std::array<float, 8> levels{};
    levels.fill(60.0F);
    const auto results = run(levels, levels);
    EXPECT_EQ(state.LitCount, 0);
    EXPECT_FALSE(results[0].thresholdMoved);
    EXPECT_EQ(results[0].threshold, 20);
}

}  // namespace
}  // namespace light
