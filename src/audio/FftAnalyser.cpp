#include "audio/FftAnalyser.h"

#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>

#include "audio/SampleRing.h"

namespace modBass {

FftAnalyser::FftAnalyser()
    : window_(kSize), frames_(2 * kSize, 0.0f), in_(kSize), spectrum_(kSize / 2 + 1) {
    cfg_ = kiss_fftr_alloc(kSize, 0, nullptr, nullptr);
    if (cfg_ == nullptr) {
        throw std::bad_alloc();
    }
    // Periodic Hann window: its coherent gain is exactly 0.5, so with the scale 2 / N a
    // full-scale sine at a bin centre reads 0.5.
    for (int n = 0; n < kSize; ++n) {
        window_[n] = static_cast<float>(
            0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * n / static_cast<double>(kSize))));
    }
}

FftAnalyser::~FftAnalyser() {
    kiss_fftr_free(cfg_);
}

void FftAnalyser::analyse(const float* frames, float* out) {
    constexpr float scale = 2.0f / static_cast<float>(kSize);
    for (int channel = 0; channel < 2; ++channel) {
        for (int n = 0; n < kSize; ++n) {
            in_[n] = frames[2 * n + channel] * window_[n];
        }
        kiss_fftr(cfg_, in_.data(), spectrum_.data());
        for (int k = 0; k < kBins; ++k) {
            const float re = spectrum_[k].r;
            const float im = spectrum_[k].i;
            out[2 * k + channel] = std::sqrt(re * re + im * im) * scale;
        }
    }
}

void FftAnalyser::analyseNewest(const SampleRing& ring, float* out, int skip) {
    ring.copyNewest(frames_.data(), kSize, skip);
    analyse(frames_.data(), out);
}

}  // namespace modBass
