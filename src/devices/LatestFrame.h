#pragma once

#include <cstdint>

namespace kf {

// Latest frame wins, the one rule every board kind follows. Every frame carries the whole state,
// so a frame a board cannot take yet is skipped whole for that board rather than queued behind
// older ones: the next frame repairs it. A board cannot take a frame while more than half a
// frame of earlier output has not reached it (still in our buffer, the driver's queue, on a
// line its speed has not carried, or under way in a USB writer): on a slow link a new frame then
// starts out at most half a frame late, and a fast link has carried the last frame long before
// the next one comes.
inline constexpr bool takesFrame(std::int64_t unsentBytes, std::int64_t frameBytes) {
    return unsentBytes <= frameBytes / 2;
}

}  // namespace kf
