#pragma once

#include <array>
#include <cstdint>

#include "audio/SpectrumPicture.h"
#include "audio/modBass.h"
#include "core/SharedState.h"

// One frame of analysis: the FFT of both channels split into eight bands (2..9), a level per
// band and side, the peak masks and the bar pictures, handing each band to the lamp control.
namespace KleurFlitsMod {

inline constexpr int kPositions = 1023;  // positions 0..1022; position p holds F[p - 1]
inline constexpr int kPeakLevel = 120;
inline constexpr int kMaxLevel = 127;
inline constexpr int kEmptyLevel = -4;

struct Band {
    int LedNr = 0;
    int BandStart = 0;  // first position
    int BandEnd = 0;    // exclusive
    int sc = 0;         // divisor argument
};

// Rounds to the nearest integer, halves to the even neighbour.
double roundHalfEven(double x);

// The exclusive end position of band ledNr: 2^(ledNr * 10 / 9), capped at 1023.
int bandEnd(int ledNr);
// The eight bands in order, each starting where the previous one ended.
std::array<Band, 8> bandTable();

struct BandSums {
    float SumLinks = 0.0F;
    float SumRechts = 0.0F;
};
// Walks positions start..end-1 (at least one): odd positions are left values, even ones right.
BandSums sumBand(const float* fftData, int bandStart, int bandEnd);

// sqrt(sum / log10(sc)) * amplify * 127 - 4, rounded half to even, capped at 127.
std::int32_t level(float sum, int sc, double amplify);

// Where a frame's results go: the lamp control per band, the pictures once per frame.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    virtual void LedBesturing(int LedNr, float WaardeLinks, float WaardeRechts) = 0;
    virtual void drawPictures(const kf::SpectrumPixels& rechts,
                              const kf::SpectrumPixels& links) = 0;
};

// The FFT buffer, kept across frames so that a frame allocates nothing.
using FftBuffer = std::array<float, modBass::kFftValues>;

void SpectrumAnalyse(kf::SharedState& state, modBass::AudioLibrary& audio, FftBuffer& FftData,
                     FrameSink& sink);

}  // namespace KleurFlitsMod
