#pragma once

#include <vector>

#include <kissfft/kiss_fftr.h>

namespace modBass {

class SampleRing;

// The FFT request of the audio library: the newest 1024 stereo frames, a Hann window, one real
// FFT per channel, |X[k]| * 2 / 1024 for k = 0..511, left and right interleaved
// (out[2k] left bin k, out[2k+1] right bin k). A full-scale sine at a bin centre gives 0.5 there.
// Everything is allocated at construction; analyse() allocates nothing. Not thread-safe: one
// instance per calling thread.
class FftAnalyser {
  public:
    static constexpr int kSize = 1024;               // frames per FFT
    static constexpr int kBins = kSize / 2;          // 512 bins reported per channel
    static constexpr int kOutputValues = 2 * kBins;  // 1024 floats

    FftAnalyser();
    ~FftAnalyser();
    FftAnalyser(const FftAnalyser&) = delete;
    FftAnalyser& operator=(const FftAnalyser&) = delete;

    // frames: kSize interleaved stereo frames (2 * kSize floats), oldest first.
    // out: kOutputValues floats.
    void analyse(const float* frames, float* out);
    // Takes the newest kSize frames of the ring, or those ending `skip` frames before the
    // newest (zeros where not yet filled), and analyses them.
    void analyseNewest(const SampleRing& ring, float* out, int skip = 0);

  private:
    kiss_fftr_cfg cfg_ = nullptr;
    std::vector<float> window_;           // kSize
    std::vector<float> frames_;           // 2 * kSize, scratch for analyseNewest
    std::vector<kiss_fft_scalar> in_;     // kSize
    std::vector<kiss_fft_cpx> spectrum_;  // kSize / 2 + 1
};

}  // namespace modBass
