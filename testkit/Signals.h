#pragma once
// The sounds the tests and the benchmarks play, as functions of the sample index at 44100 Hz.

#include <functional>
#include <utility>
#include <vector>

namespace kftest {

// One stereo sample (left, right) for sample index n.
using Signal = std::function<std::pair<float, float>(long long n)>;

inline constexpr int kRate = 44100;

// A sine exactly at the centre of FFT bin `bin` (1024-point bins of 43.07 Hz), so that it
// falls in one band and leaks into no other. With `fadeIn` it rises over 200 ms: a sine
// switched on at once is a click, and a click is heard in every band. Without it the tone is
// there from its first sample, for tests that time its arrival.
Signal sineAtBin(int bin, float left, float right, bool fadeIn = true);

// White noise, independent on the two channels, uniform in [-amplitude, amplitude]; `on`
// says for each sample whether the noise sounds (bursts) or the line is silent.
Signal noise(float amplitude, std::function<bool(long long)> on = {});

// Something like music: pink noise, a kick every 500 ms and a hi-hat between.
Signal musicNoise();

// Tone bursts after 500 ms of silence: burst i at freqs[i % freqs.size()], both channels,
// with 2 ms raised-cosine edges so that the onset stays tonal; silence after the last.
struct BurstPlan {
    std::vector<double> freqs;
    int count = 50;
    int onMs = 200;
    int gapMs = 300;
    float amplitude = 0.5F;
};
Signal toneBursts(const BurstPlan& plan);
// The samples the bursts take, lead-in and 300 ms after the last included.
long long lengthOf(const BurstPlan& plan);

// Clicks of 2 ms at 0.9 full scale, 250 ms apart after a 300 ms lead-in; each starts at a
// different place in its 10 ms block (steps of 157 frames, modulo 352), so the clicks fall on
// every phase of a recorder's fragments.
Signal clicks(int count);
long long clicksLength(int count);
// The sample where click k starts.
long long clickStart(int k);

}  // namespace kftest
