#include "audio/SpectrumPicture.h"

#include <algorithm>
#include <cstring>

namespace kf {

void fillSpectrumBitmapInfo(SpectrumBitmap& info) {
    BitmapInfoHeader& h = info.bmiHeader;
    h.biSize = 40;
    h.biWidth = kPictureWidth;
    h.biHeight = kPictureHeight;  // positive: bottom-up
    h.biPlanes = 1;
    h.biBitCount = 8;
    h.biCompression = 0;
    h.biSizeImage = 0;
    h.biXPelsPerMeter = 0;
    h.biYPelsPerMeter = 0;
    h.biClrUsed = 256;
    h.biClrImportant = 256;

    info.SpectrumPalette.fill(RgbQuad{});
    for (int i = 1; i <= 127; ++i) {
        RgbQuad& q = info.SpectrumPalette[static_cast<std::size_t>(i)];
        q.rgbRed = static_cast<std::uint8_t>(2 * i);
        q.rgbGreen = static_cast<std::uint8_t>(256 - 2 * i);
        q.rgbBlue = 0;
    }
}

void clearPixels(SpectrumPixels& pixels) {
    pixels.assign(kPixelBytes, 0);
}

void writeBar(SpectrumPixels& pixels, int ledNr, int n) {
    if (n <= 0 || ledNr < 2 || ledNr > 9) {
        return;
    }
    n = std::min(n, kPictureHeight);
    if (pixels.size() < static_cast<std::size_t>(kPixelBytes)) {
        clearPixels(pixels);
    }
    const int left = kBarPitch * (ledNr - 2);
    for (int y = n - 1; y >= 0; --y) {
        std::memset(pixels.data() + left + kPictureWidth * y, y + 1, kBarWidth);
    }
}

}  // namespace kf
