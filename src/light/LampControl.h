#pragma once

#include <cstdint>

// From a band's level to its lamp: the threshold decision, the on-screen colour and the bit in
// the side's pattern. Bands run 2..9; band n drives lamp n - 2.
namespace light {

inline constexpr int kFirstBand = 2;
inline constexpr int kLastBand = 9;

// On-screen lamp colours, &HBBGGRR.
inline constexpr std::uint32_t kLampOff = 0x000000;
inline constexpr std::uint32_t kLampOn = 0x00FF00;
inline constexpr std::uint32_t kLampPeak = 0x0000FF;

inline constexpr int lampIndex(int ledNr) {
    return ledNr - kFirstBand;
}
inline constexpr std::int32_t lampBit(int ledNr) {
    return std::int32_t{1} << lampIndex(ledNr);
}

// Strictly greater: a level equal to the threshold leaves the lamp dark.
inline constexpr bool lampOn(float level, int threshold) {
    return level > static_cast<float>(threshold);
}

std::uint32_t lampColour(bool on, std::int16_t peakMask, int ledNr);

// The outcome of one side's lamp for one band.
struct LampDecision {
    bool on = false;
    std::uint32_t colour = kLampOff;
};

// Decides the lamp and adds it to the side's pattern and the lit count.
LampDecision decideLamp(float level, int threshold, int ledNr, std::int16_t peakMask,
                        std::int32_t& pattern, std::int16_t& litCount);

}  // namespace light
