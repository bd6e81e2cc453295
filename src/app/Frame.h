#pragma once

#include <array>
#include <cstdint>

#include "audio/KleurFlitsMod.h"
#include "light/Show.h"

// One frame, from the FFT to every output, as one plain call: the window reads its controls,
// runs the frame and paints what it returned.
namespace kf {

// What a frame leaves for the window to paint.
struct FramePicture {
    // The on-screen lamps' colours (&HBBGGRR), in the order the window shows them.
    std::array<std::uint32_t, 8> lampsLinks{};
    std::array<std::uint32_t, 8> lampsRechts{};
    // The threshold when the automatic level moved it.
    int threshold = 0;
    bool thresholdMoved = false;
    // The bar pictures' pixels, as the frame drew them.
    const SpectrumPixels* barsLinks = nullptr;
    const SpectrumPixels* barsRechts = nullptr;
};

class Frame : private KleurFlitsMod::FrameSink {
  public:
    Frame(SharedState& state, modBass::AudioLibrary& audio, light::FrameOutputs& outputs)
        : state_(state), audio_(audio), outputs_(outputs), show_(state, outputs) {}

    // SpectrumAnalyse, LedBesturing for its eight bands in turn, the outputs at the moments
    // the bands give them, and the lamp count's end of frame.
    const FramePicture& run(const light::FrameSettings& settings);

  private:
    void LedBesturing(int LedNr, float WaardeLinks, float WaardeRechts) override;
    void drawPictures(const SpectrumPixels& rechts, const SpectrumPixels& links) override;

    SharedState& state_;
    modBass::AudioLibrary& audio_;
    light::FrameOutputs& outputs_;
    light::Show show_;
    KleurFlitsMod::FftBuffer fft_{};
    light::FrameSettings settings_;
    FramePicture picture_;
};

}  // namespace kf
