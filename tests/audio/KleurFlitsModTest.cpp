#include "audio/KleurFlitsMod.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/FakeAudioLibrary.h"

namespace {

using KleurFlitsMod::bandTable;
using KleurFlitsMod::level;
using KleurFlitsMod::roundHalfEven;

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

// Which band's level a single bin of one side raises, through the whole frame.
TEST_F(Analyse, EachBinReachesExactlyItsBandOnItsSide) {
    for (int side = 1; side <= 2; ++side) {
        for (int bin = 0; bin < 512; ++bin) {
            audio.fft.fill(0.0F);
            audio.setBin(side, bin, 1.0F);
            sink.calls.clear();
            run();
            ASSERT_EQ(sink.calls.size(), 8U);
            int band = 0;
            for (const Call& c : sink.calls) {
                EXPECT_EQ(side == 1 ? c.right : c.left, -4.0F)
                    << (side == 1 ? "left" : "right") << " bin " << bin
                    << " leaks to the other side";
                if ((side == 1 ? c.left : c.right) > -4.0F) {
                    EXPECT_EQ(band, 0) << "bin " << bin << " counted in two bands";
                    band = c.ledNr;
                }
            }
            int expected = 0;  // bin 511 of either side is never used
            for (const Expected& e : kTable) {
                const int first = side == 1 ? e.leftFirst : e.rightFirst;
                const int last = side == 1 ? e.leftLast : e.rightLast;
                if (bin >= first && bin <= last) {
                    expected = e.ledNr;
                }
            }
            EXPECT_EQ(band, expected) << (side == 1 ? "left" : "right") << " bin " << bin;
        }
    }
}

// Every band and side, each with its own divisor: the level a known square-root term gives.
TEST_F(Analyse, EveryBandsLevelFollowsItsDivisor) {
    for (int ledNr = 2; ledNr <= 9; ++ledNr) {
        const double left = 0.11 * (ledNr - 1);   // 9.97 .. 107.76 before rounding, no halves
        const double right = 0.06 * (ledNr + 3);  // 34.1 .. 87.44
        setBandLevel(1, ledNr, left);
        setBandLevel(2, ledNr, right);
    }
    run();
    ASSERT_EQ(sink.calls.size(), 8U);
    for (const Call& c : sink.calls) {
        SCOPED_TRACE(c.ledNr);
        EXPECT_EQ(c.left, static_cast<float>(std::lround(0.11 * (c.ledNr - 1) * 127.0 - 4.0)));
        EXPECT_EQ(c.right, static_cast<float>(std::lround(0.06 * (c.ledNr + 3) * 127.0 - 4.0)));
    }
}

// A band sum and an amplification that put the band's scaled level exactly on a half, found by
// stepping through neighbouring doubles (not every sum has such a neighbour).
struct ExactHalf {
    float sum = 0.0F;
    double amplify = 0.0;
};
ExactHalf exactHalf(double scaled, int sc) {
    for (float sum = 0.25F; sum < 2.0F; sum += 0.0625F) {
        const double term = std::sqrt(static_cast<double>(sum) / (std::log(sc) / std::log(10.0)));
        double amplify = (scaled + 4.0) / (term * 127.0);
        for (int step = 0; step < 64; ++step) {
            const double got = term * amplify * 127.0 - 4.0;
            if (got == scaled) {
                return {sum, amplify};
            }
            amplify = std::nextafter(amplify, got < scaled ? 2.0 * amplify : 0.0);
        }
    }
    return {};
}

TEST_F(Analyse, HalfwayLevelsGoToTheEvenNeighbourInEveryBand) {
    for (const double half : {44.5, 45.5}) {
        for (int ledNr = 2; ledNr <= 9; ++ledNr) {
            SCOPED_TRACE(testing::Message() << "band " << ledNr << ", scaled " << half);
            const auto b = bandTable()[static_cast<std::size_t>(ledNr - 2)];
            const ExactHalf input = exactHalf(half, b.sc);
            ASSERT_NE(input.amplify, 0.0) << "no amplification gives an exact half";
            audio.fft.fill(0.0F);
            audio.setBin(2, kTable[ledNr - 2].rightFirst, input.sum);
            state.Amplify = input.amplify;
            sink.calls.clear();
            run();
            EXPECT_EQ(sink.calls[static_cast<std::size_t>(ledNr - 2)].right,
                      half == 44.5 ? 44.0F : 46.0F);
        }
    }
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
