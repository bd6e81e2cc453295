#include "light/LampControl.h"

namespace light {

std::uint32_t lampColour(bool on, std::int16_t peakMask, int ledNr) {
    if (!on) {
        return kLampOff;
    }
    return (peakMask & lampBit(ledNr)) != 0 ? kLampPeak : kLampOn;
}

LampDecision decideLamp(float level, int threshold, int ledNr, std::int16_t peakMask,
                        std::int32_t& pattern, std::int16_t& litCount) {
    LampDecision d;
    d.on = lampOn(level, threshold);
    if (d.on) {
        ++litCount;
        pattern += lampBit(ledNr);
    }
    d.colour = lampColour(d.on, peakMask, ledNr);
    return d;
}

}  // namespace light
