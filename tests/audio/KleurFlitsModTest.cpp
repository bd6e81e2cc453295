#include "audio/KleurFlitsMod.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/FakeAudioLibrary.h"

namespace {

using KleurFlitsMod::bandTable;
using KleurFlitsMod::level;
using KleurFlitsMod::roundHalfEven;
using KleurFlitsMod::sumBand;

struct Expected {
    int ledNr, start, end, sc, leftFirst, leftLast, rightFirst, rightLast;
};
// Band edges 2^(n*10/9), and the bins each side's sum holds.
const Expected kTable[] = {
    {2, 0, 5, 15, 0, 1, 0, 1},
    {3, 5, 10, 15, 2, 4, 2, 3},
    {4, 10, 22, 22, 5, 10, 4, 9},
    {5, 22, 47, 35, 11, 22, 10, 22},
    {6, 47, 102, 65, 23, 50, 23, 49},
    {7, 102, 219, 127, 51, 108, 50, 108},
    {8, 219, 474, 265, 109, 236, 109, 235},
    {9, 474, 1023, 559, 237, 510, 236, 510},
};

TEST(BandTable, EdgesAndDivisorsFollowFromTheRule) {
    const auto bands = bandTable();
    for (std::size_t i = 0; i < bands.size(); ++i) {
        SCOPED_TRACE(kTable[i].ledNr);
        EXPECT_EQ(bands[i].LedNr, kTable[i].ledNr);
        EXPECT_EQ(bands[i].BandStart, kTable[i].start);
        EXPECT_EQ(bands[i].BandEnd, kTable[i].end);
        EXPECT_EQ(bands[i].sc, kTable[i].sc);
    }
    EXPECT_EQ(bands.back().BandEnd, 1023);  // 2^10 = 1024 is capped
}

// Finds the band whose sum picks up a single bin of one side.
int bandOfBin(int side, int bin) {
    std::vector<float> fft(1024, 0.0F);
    fft[static_cast<std::size_t>(2 * bin + (side == 1 ? 0 : 1))] = 1.0F;
    for (const auto& b : bandTable()) {
        const auto sums = sumBand(fft.data(), b.BandStart, b.BandEnd);
        if ((side == 1 ? sums.SumLinks : sums.SumRechts) != 0.0F) {
            return b.LedNr;
        }
    }
    return 0;
}

TEST(BandTable, EachSideSumsExactlyItsBins) {
    for (const Expected& e : kTable) {
        SCOPED_TRACE(e.ledNr);
        for (int bin = e.leftFirst; bin <= e.leftLast; ++bin) {
            EXPECT_EQ(bandOfBin(1, bin), e.ledNr) << "left bin " << bin;
        }
        for (int bin = e.rightFirst; bin <= e.rightLast; ++bin) {
            EXPECT_EQ(bandOfBin(2, bin), e.ledNr) << "right bin " << bin;
        }
    }
    // Bin 511 of either side is never used.
    EXPECT_EQ(bandOfBin(1, 511), 0);
    EXPECT_EQ(bandOfBin(2, 511), 0);
}

TEST(BandTable, BandTwoRightHoldsRightBinsZeroAndOneOnly) {
    std::vector<float> fft(1024, 0.0F);
    fft[1] = 1.0F;    // right bin 0
    fft[3] = 10.0F;   // right bin 1
    fft[5] = 100.0F;  // right bin 2: band 3
    fft[0] = 0.5F;    // left bin 0
    fft[2] = 0.25F;   // left bin 1
    const auto sums = sumBand(fft.data(), 0, 5);
    EXPECT_FLOAT_EQ(sums.SumRechts, 11.0F);
    EXPECT_FLOAT_EQ(sums.SumLinks, 0.75F);
}

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(roundHalfEven(44.5), 44.0);
    EXPECT_EQ(roundHalfEven(45.5), 46.0);
    EXPECT_EQ(roundHalfEven(-3.5), -4.0);
    EXPECT_EQ(roundHalfEven(-2.5), -2.0);
    EXPECT_EQ(roundHalfEven(27.75), 28.0);
    EXPECT_EQ(roundHalfEven(4.66), 5.0);
}

float sumFor(double sqrtTerm, int sc) {
    return static_cast<float>(sqrtTerm * sqrtTerm * std::log10(sc));
}

TEST(Level, SilenceIsMinusFour) {
    EXPECT_EQ(level(0.0F, 15, 1.0), -4);
    EXPECT_EQ(level(0.0F, 559, 4.0), -4);
}

TEST(Level, AmplificationScalesBeforeTheOffset) {
    EXPECT_EQ(level(sumFor(0.5, 15), 15, 0.5), 28);  // 27.75
    EXPECT_EQ(level(sumFor(0.5, 15), 15, 1.0), 60);  // 59.5 -> 60
}

TEST(Level, CappedAt127WithoutALowerCap) {
    EXPECT_EQ(level(1000.0F, 15, 1.0), 127);
    EXPECT_EQ(level(1e30F, 15, 4.0), 127);
    EXPECT_EQ(level(sumFor(1.0, 65), 65, 1.0), 123);
}

TEST(Level, CorruptInputCountsAsSilence) {
    EXPECT_EQ(level(std::nanf(""), 15, 1.0), -4);
    EXPECT_EQ(level(-1.0F, 15, 1.0), -4);
}

// Records what each band call saw.
struct Call {
    int ledNr;
    float left, right;
    std::int16_t peakLinks, peakRechts;
};
struct RecordingSink : KleurFlitsMod::FrameSink {
    explicit RecordingSink(kf::SharedState& s) : state(s) {}
    void LedBesturing(int LedNr, float l, float r) override {
        calls.push_back({LedNr, l, r, state.PeakLinks, state.PeakRechts});
    }
    void drawPictures(const kf::SpectrumPixels& rechts, const kf::SpectrumPixels& links) override {
        ++draws;
        lastRechts = rechts;
        lastLinks = links;
    }
    kf::SharedState& state;
    std::vector<Call> calls;
    int draws = 0;
    kf::SpectrumPixels lastRechts, lastLinks;
};

struct Analyse : ::testing::Test {
    kf::SharedState state;
    kf::test::FakeAudioLibrary audio;
    KleurFlitsMod::FftBuffer fft{};
    RecordingSink sink{state};
    void SetUp() override {
        state.Amplify = 1.0;
        state.RecordChannel = audio.startResult;
    }
    void run() { KleurFlitsMod::SpectrumAnalyse(state, audio, fft, sink); }
    // Sets a whole band of one side so that its level becomes the given value.
    void setBandLevel(int side, int ledNr, double sqrtTerm) {
        const auto b = bandTable()[static_cast<std::size_t>(ledNr - 2)];
        const int bin = side == 1 ? kTable[ledNr - 2].leftFirst : kTable[ledNr - 2].rightFirst;
        audio.setBin(side, bin, sumFor(sqrtTerm, b.sc));
    }
};

TEST_F(Analyse, SilenceGivesMinusFourEverywhereAndEmptyPictures) {
    run();
    ASSERT_EQ(sink.calls.size(), 8U);
    for (std::size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(sink.calls[i].ledNr, static_cast<int>(i) + 2);
        EXPECT_EQ(sink.calls[i].left, -4.0F);
        EXPECT_EQ(sink.calls[i].right, -4.0F);
    }
    EXPECT_EQ(state.PeakLinks, 0);
    EXPECT_EQ(state.PeakRechts, 0);
    EXPECT_EQ(sink.draws, 1);
    EXPECT_EQ(sink.lastLinks, kf::SpectrumPixels(kf::kPixelBytes, 0));
    EXPECT_EQ(sink.lastRechts, kf::SpectrumPixels(kf::kPixelBytes, 0));
}

TEST_F(Analyse, AFailedFetchLeavesTheBufferZeroed) {
    setBandLevel(1, 5, 1.0);
    run();
    audio.deliver = false;
    sink.calls.clear();
    run();
    for (const Call& c : sink.calls) {
        EXPECT_EQ(c.left, -4.0F);
    }
}

TEST_F(Analyse, PeakBitIsSetAbove120AndBeforeTheBandIsHandedOn) {
    setBandLevel(1, 4, 124.0 / 127.0);  // exactly 120: no peak
    setBandLevel(1, 6, 125.0 / 127.0);  // 121: peak
    setBandLevel(2, 9, 3.0);            // far above: capped, peak
    run();
    EXPECT_EQ(sink.calls[2].left, 120.0F);
    EXPECT_EQ(sink.calls[4].left, 121.0F);
    EXPECT_EQ(sink.calls[7].right, 127.0F);
    EXPECT_EQ(state.PeakLinks, 1 << 4);
    EXPECT_EQ(state.PeakRechts, 1 << 7);
    EXPECT_EQ(sink.calls[4].peakLinks, 1 << 4);  // seen by band 6's own call
    EXPECT_EQ(sink.calls[3].peakLinks, 0);
}

TEST_F(Analyse, LevelsLandInTheirBandAndSide) {
    setBandLevel(1, 4, 0.5);  // 59.5 -> 60
    run();
    for (const Call& c : sink.calls) {
        EXPECT_EQ(c.right, -4.0F);
        EXPECT_EQ(c.left, c.ledNr == 4 ? 60.0F : -4.0F);
    }
    // The bar follows the level: band 4 is 60 rows high on the left picture.
    EXPECT_EQ(sink.lastLinks[40 + 220 * 59], 60);
    EXPECT_EQ(sink.lastLinks[40 + 220 * 60], 0);
}

TEST_F(Analyse, PicturesAreEmptiedEveryFrame) {
    setBandLevel(2, 3, 1.0);
    run();
    EXPECT_NE(sink.lastRechts[20], 0);
    audio.fft.fill(0.0F);
    run();
    EXPECT_EQ(sink.lastRechts, kf::SpectrumPixels(kf::kPixelBytes, 0));
}

}  // namespace
