#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The bar pictures: an 8-bit palette image of 220 x 127 pixels per channel, stored bottom-up
// (row 0 is the lowest line), one 18-column bar per band.
namespace kf {

struct BitmapInfoHeader {
    std::uint32_t biSize = 0;
    std::int32_t biWidth = 0;
    std::int32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::int32_t biXPelsPerMeter = 0;
    std::int32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;
};

struct RgbQuad {
    std::uint8_t rgbBlue = 0;
    std::uint8_t rgbGreen = 0;
    std::uint8_t rgbRed = 0;
    std::uint8_t rgbReserved = 0;
};

struct SpectrumBitmap {
    BitmapInfoHeader bmiHeader;
    std::array<RgbQuad, 256> SpectrumPalette{};
};

inline constexpr int kPictureWidth = 220;
inline constexpr int kPictureHeight = 127;
inline constexpr int kPixelBytes = 28161;  // indices 0..28160
inline constexpr int kBarWidth = 18;
inline constexpr int kBarPitch = 20;

using SpectrumPixels = std::vector<std::uint8_t>;

}  // namespace kf
