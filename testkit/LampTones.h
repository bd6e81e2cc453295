#pragma once
// Which tone lights which lamp: the tones the tests and the benchmarks play to light one known
// lamp on a side, as someone standing by the boards would check them (301 Hz is lamp 3, 7 kHz
// lamp 7), written down here once rather than worked out from the program's band table.

#include <array>
#include <cstdint>

#include "testkit/Signals.h"

namespace kftest {

struct LampTone {
    int bin;   // the FFT bin whose centre the tone sits on
    int lamp;  // the lamp (1..8) it lights: iCP12 output, Arduino and K8055 bit lamp - 1
    constexpr double hz() const { return bin * static_cast<double>(kRate) / 1024.0; }
    constexpr std::uint8_t mask() const { return static_cast<std::uint8_t>(1u << (lamp - 1)); }
};

inline constexpr LampTone kLamp3{7, 3};    // 301 Hz
inline constexpr LampTone kLamp4{16, 4};   // 689 Hz
inline constexpr LampTone kLamp5{35, 5};   // 1507 Hz
inline constexpr LampTone kLamp6{70, 6};   // 3015 Hz
inline constexpr LampTone kLamp7{163, 7};  // 7020 Hz

enum class Ear { Left, Right, Both };

// The tone on one side (or both) at `level` of full scale, faded in as sineAtBin does.
Signal lampTone(LampTone tone, Ear ear, float level = 0.4F);

// The latency probes' bursts: `count` bursts over lamps 3 to 6 in turn, both channels.
BurstPlan lampBursts(int count);
// The lamp a burst of the plan lights: lamps 3 to 6 for burst 0, 1, 2, 3, 4, ...
int lampOfBurst(int burst);

}  // namespace kftest
