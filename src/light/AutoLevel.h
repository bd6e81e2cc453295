#pragma once

#include <cstdint>

namespace light {

inline constexpr int kAutoLevelFloor = 2;

// One step of the automatic level: the threshold moves down one while at most maxLeds lamps
// were lit in the last frame, up one while more were, within [2, maximum]. The caller resets
// the lit count.
int autoLevelStep(int litCount, int maxLeds, int threshold, int maximum);

}  // namespace light
