#include "Font.h"

#if defined(__AVR__)
#include <avr/pgmspace.h>
#define KF_ROM PROGMEM
#define KF_ROM_BYTE(p) pgm_read_byte(p)
#else
#define KF_ROM
#define KF_ROM_BYTE(p) (*(p))
#endif

namespace kf {
namespace fw {
namespace {

// Kept in flash on the AVR: the 2 KB of RAM are not to be spent on constants.
const uint8_t kDigits[10] KF_ROM = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

// A to Z in capital shapes where seven segments can draw them.
const uint8_t kUpper[26] KF_ROM = {
    0x77, 0x7c, 0x39, 0x5e, 0x79, 0x71, 0x3d, 0x76, 0x30, 0x1e, 0x75, 0x38, 0x37,
    0x54, 0x3f, 0x73, 0x67, 0x50, 0x6d, 0x78, 0x3e, 0x1c, 0x2a, 0x76, 0x6e, 0x5b,
};

// a to z: the small shapes where they differ from the capitals (c, h, i, o, u).
const uint8_t kLower[26] KF_ROM = {
    0x77, 0x7c, 0x58, 0x5e, 0x79, 0x71, 0x3d, 0x74, 0x10, 0x1e, 0x75, 0x38, 0x37,
    0x54, 0x5c, 0x73, 0x67, 0x50, 0x6d, 0x78, 0x1c, 0x1c, 0x2a, 0x76, 0x6e, 0x5b,
};

}  // namespace

uint8_t glyph(char c) {
    if (c >= '0' && c <= '9') {
        return KF_ROM_BYTE(&kDigits[c - '0']);
    }
    if (c >= 'A' && c <= 'Z') {
        return KF_ROM_BYTE(&kUpper[c - 'A']);
    }
    if (c >= 'a' && c <= 'z') {
        return KF_ROM_BYTE(&kLower[c - 'a']);
    }
    if (c == '-') {
        return 0x40;
    }
    return 0;
}

}  // namespace fw
}  // namespace kf
