// Seven-segment shapes for the TM1638 digits: bit 0 = segment a (top) ... bit 6 = g (middle),
// bit 7 = the decimal point.
#pragma once

#include <stdint.h>

namespace kf {
namespace fw {

const uint8_t kDecimalPoint = 0x80;

// Letters (both cases, drawn as well as seven segments allow), digits, space and "-"; any other
// character is blank.
uint8_t glyph(char c);

}  // namespace fw
}  // namespace kf
