// FftAnalyser on synthetic signals: scale, channel separation, interleaving, silence, the ring
// as input, and no allocation per call.
#include "audio/FftAnalyser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <vector>

#include "audio/SampleRing.h"

// Counts the allocations of the whole test program, so a test can tell that a call made none.
namespace {
std::atomic<long> gAllocations{0};
}
void* operator new(std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept {
    return operator new(n, t);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

using modBass::FftAnalyser;

namespace {

constexpr int N = FftAnalyser::kSize;

// 1024 interleaved frames: a sine at the centre of `bin` with the given amplitude per channel.
std::vector<float> sine(int binLeft, float ampLeft, int binRight, float ampRight,
                        double phase = 0.3) {
    std::vector<float> v(2 * N);
    for (int n = 0; n < N; ++n) {
        v[2 * n] = ampLeft *
                   static_cast<float>(std::sin(2.0 * std::numbers::pi * binLeft * n / N + phase));
        v[2 * n + 1] =
            ampRight *
            static_cast<float>(std::sin(2.0 * std::numbers::pi * binRight * n / N + 2 * phase));
    }
    return v;
}

std::vector<float> analyse(const std::vector<float>& frames) {
    FftAnalyser fft;
    std::vector<float> out(FftAnalyser::kOutputValues, -1.0f);
    fft.analyse(frames.data(), out.data());
    return out;
}

float maxOf(const std::vector<float>& out, int channel) {
    float m = 0.0f;
    for (int k = 0; k < FftAnalyser::kBins; ++k)
        m = std::max(m, out[2 * k + channel]);
    return m;
}

}  // namespace

TEST(FftAnalyserScale, FullScaleSineAtABinCentreReadsHalfInThatBin) {
    for (int bin : {1, 5, 23, 40, 100, 237, 400, 510}) {
        const auto out = analyse(sine(bin, 1.0f, bin, 0.0f));
        EXPECT_NEAR(out[2 * bin], 0.5f, 0.02f) << "bin " << bin;
        EXPECT_LT(maxOf(out, 1), 1e-4f) << "right channel, bin " << bin;
    }
}

TEST(FftAnalyserScale, HannLeakageStaysInTheNeighbourBins) {
    const int bin = 60;
    const auto out = analyse(sine(bin, 1.0f, bin, 0.0f));
    EXPECT_NEAR(out[2 * (bin - 1)], 0.25f, 0.02f);
    EXPECT_NEAR(out[2 * (bin + 1)], 0.25f, 0.02f);
    for (int k = 0; k < FftAnalyser::kBins; ++k) {
        if (std::abs(k - bin) > 1) {
            EXPECT_LT(out[2 * k], 1e-3f) << "bin " << k;
        }
    }
}

TEST(FftAnalyserScale, MagnitudeIsProportionalToAmplitude) {
    const auto out = analyse(sine(30, 0.25f, 30, 0.0f));
    EXPECT_NEAR(out[2 * 30], 0.125f, 0.005f);
}

TEST(FftAnalyserChannels, LeftOnlySineLeavesTheRightChannelNearZero) {
    const auto out = analyse(sine(40, 1.0f, 40, 0.0f));
    EXPECT_NEAR(out[80], 0.5f, 0.02f);
    EXPECT_LT(maxOf(out, 1), 1e-4f);
}

TEST(FftAnalyserChannels, RightOnlySineLeavesTheLeftChannelNearZero) {
    const auto out = analyse(sine(40, 0.0f, 40, 1.0f));
    EXPECT_NEAR(out[81], 0.5f, 0.02f);
    EXPECT_LT(maxOf(out, 0), 1e-4f);
}

TEST(FftAnalyserChannels, BinsAreInterleavedLeftThenRight) {
    // Left at bin 20, right at bin 50: F[2k] left bin k, F[2k+1] right bin k.
    const auto out = analyse(sine(20, 1.0f, 50, 0.5f));
    EXPECT_NEAR(out[2 * 20], 0.5f, 0.02f);
    EXPECT_NEAR(out[2 * 50 + 1], 0.25f, 0.01f);
    EXPECT_LT(out[2 * 20 + 1], 1e-3f);
    EXPECT_LT(out[2 * 50], 1e-3f);
    int argmax = 0;
    for (int i = 1; i < FftAnalyser::kOutputValues; ++i) {
        if (out[i] > out[argmax])
            argmax = i;
    }
    EXPECT_EQ(argmax, 40);
}

TEST(FftAnalyserSilence, SilenceGivesEveryBinBelow1e4) {
    const auto out = analyse(std::vector<float>(2 * N, 0.0f));
    for (int i = 0; i < FftAnalyser::kOutputValues; ++i) {
        EXPECT_LT(out[i], 1e-4f) << "value " << i;
        EXPECT_GE(out[i], 0.0f) << "value " << i;
    }
}

TEST(FftAnalyserRing, AnalysesTheNewest1024FramesOfTheRing) {
    modBass::SampleRing ring;
    const auto old = sine(100, 1.0f, 100, 1.0f);
    const auto fresh = sine(30, 1.0f, 0, 0.0f);
    ring.write(old.data(), N);
    ring.write(fresh.data(), N);
    FftAnalyser fft;
    std::vector<float> out(FftAnalyser::kOutputValues);
    fft.analyseNewest(ring, out.data());
    EXPECT_NEAR(out[60], 0.5f, 0.02f);
    EXPECT_LT(out[200], 1e-3f);  // the older tone is gone
    EXPECT_LT(maxOf(out, 1), 1e-4f);
}

TEST(FftAnalyserRing, AnEmptyRingGivesZeros) {
    modBass::SampleRing ring;
    FftAnalyser fft;
    std::vector<float> out(FftAnalyser::kOutputValues, 7.0f);
    fft.analyseNewest(ring, out.data());
    for (float v : out)
        EXPECT_EQ(v, 0.0f);
}

TEST(FftAnalyserRing, HalfFilledRingReadsAsZeroPaddedInput) {
    modBass::SampleRing ring;
    const auto tone = sine(64, 1.0f, 64, 1.0f);
    ring.write(tone.data() + N, N / 2);  // the second half of the tone only
    std::vector<float> padded(2 * N, 0.0f);
    std::copy(tone.begin() + N, tone.end(), padded.begin() + N);
    FftAnalyser fft;
    std::vector<float> fromRing(FftAnalyser::kOutputValues);
    fft.analyseNewest(ring, fromRing.data());
    const auto expected = analyse(padded);
    for (int i = 0; i < FftAnalyser::kOutputValues; ++i) {
        EXPECT_FLOAT_EQ(fromRing[i], expected[i]) << "value " << i;
    }
}

TEST(FftAnalyserAllocation, AnalysisAllocatesNothing) {
    modBass::SampleRing ring;
    const auto tone = sine(10, 1.0f, 20, 1.0f);
    ring.write(tone.data(), N);
    FftAnalyser fft;
    std::vector<float> out(FftAnalyser::kOutputValues);
    fft.analyseNewest(ring, out.data());  // warm up
    const long before = gAllocations.load();
    for (int i = 0; i < 100; ++i) {
        fft.analyse(tone.data(), out.data());
        fft.analyseNewest(ring, out.data());
    }
    EXPECT_EQ(gAllocations.load(), before);
}
