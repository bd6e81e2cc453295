#include "light/Show.h"

#include "light/AutoLevel.h"
#include "light/LampControl.h"

namespace light {

BandResult Show::band(int LedNr, float WaardeLinks, float WaardeRechts,
                      const FrameSettings& settings) {
    BandResult result;
    threshold_ = settings.threshold;
    if (LedNr == kFirstBand) {
        // The previous frame's patterns and masks go out, then the new frame starts empty.
        outputs_.sendPatterns();
        state_.LedPattern(kf::Links) = 0;
        state_.LedPattern(kf::Rechts) = 0;
        state_.PeakLinks = 0;
        state_.PeakRechts = 0;
        if (settings.autoLevel) {
            threshold_ = autoLevelStep(state_.LitCount, settings.wantedLamps, settings.threshold,
                                       settings.thresholdMaximum);
            state_.LitCount = 0;
            result.thresholdMoved = threshold_ != settings.threshold;
        }
    }
    result.threshold = threshold_;
    result.colourLinks = lamp(kf::Links, LedNr, WaardeLinks);
    result.colourRechts = lamp(kf::Rechts, LedNr, WaardeRechts);
    if (LedNr == kLastBand) {
        outputs_.sendFrame();
    }
    return result;
}

std::uint32_t Show::lamp(int side, int LedNr, float level) {
    return decideLamp(level, threshold_, LedNr, state_.Peak(side), state_.LedPattern(side),
                      state_.LitCount)
        .colour;
}

void Show::frameDone(bool autoLevel) {
    if (!autoLevel) {
        state_.LitCount = 0;
    }
}

}  // namespace light
