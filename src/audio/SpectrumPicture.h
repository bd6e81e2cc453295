#pragma once

#include "core/SpectrumBitmap.h"

// Drawing the bar pictures whose types every layer shares.
namespace kf {

// The header and palette: entry 0 black, entry i (1..127) red 2i and green 256 - 2i.
void fillSpectrumBitmapInfo(SpectrumBitmap& info);

// Re-creates a channel's pixels empty for a new frame.
void clearPixels(SpectrumPixels& pixels);

// Writes the bar of band ledNr (2..9) with level n: rows 0..n-1, row y in palette entry y + 1.
// Nothing for n <= 0.
void writeBar(SpectrumPixels& pixels, int ledNr, int n);

}  // namespace kf
