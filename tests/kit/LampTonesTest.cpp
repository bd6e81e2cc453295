// The kit's lamp tones against the program's own analysis: each one, heard on one side, stands
// out in the band of the lamp the kit says it lights, on that side alone. The benchmarks look
// for that lamp when they time a burst, so a wrong entry would time the wrong lamp.
#include "testkit/LampTones.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/FftAnalyser.h"
#include "audio/KleurFlitsMod.h"

namespace {

using kftest::Ear;
using kftest::LampTone;

struct Levels {
    int lamp = 0;  // of the loudest band and side
    bool left = true;
    int loudest = -1000;
    int nextLoudest = -1000;
};

// One frame of the tone, after its fade-in, through the FFT and the band table.
Levels analyse(const LampTone& tone, Ear ear) {
    const kftest::Signal signal = kftest::lampTone(tone, ear);
    const int n = modBass::FftAnalyser::kSize;
    std::vector<float> frames;
    for (long long i = kftest::kRate / 2; i < kftest::kRate / 2 + n; ++i) {
        const auto [l, r] = signal(i);
        frames.push_back(l);
        frames.push_back(r);
    }
    modBass::FftAnalyser fft;
    std::vector<float> out(modBass::FftAnalyser::kOutputValues, 0.0F);
    fft.analyse(frames.data(), out.data());

    Levels levels;
    auto note = [&](int value, int lamp, bool left) {
        if (value > levels.loudest) {
            levels.nextLoudest = levels.loudest;
            levels = {lamp, left, value, levels.nextLoudest};
        } else {
            levels.nextLoudest = std::max(levels.nextLoudest, value);
        }
    };
    for (const auto& band : KleurFlitsMod::bandTable()) {
        const auto sums = KleurFlitsMod::sumBand(out.data(), band.BandStart, band.BandEnd);
        note(KleurFlitsMod::level(sums.SumLinks, band.sc, 1.0), band.LedNr - 1, true);
        note(KleurFlitsMod::level(sums.SumRechts, band.sc, 1.0), band.LedNr - 1, false);
    }
    return levels;
}

TEST(LampTones, EachToneStandsOutInItsLampsBandOnTheSideItIsPlayedOn) {
    for (const LampTone& tone :
         {kftest::kLamp3, kftest::kLamp4, kftest::kLamp5, kftest::kLamp6, kftest::kLamp7}) {
        for (const Ear ear : {Ear::Left, Ear::Right}) {
            const Levels levels = analyse(tone, ear);
            SCOPED_TRACE(testing::Message()
                         << tone.hz() << " Hz on the " << (ear == Ear::Left ? "left" : "right"));
            EXPECT_EQ(levels.lamp, tone.lamp);
            EXPECT_EQ(levels.left, ear == Ear::Left);
            EXPECT_GT(levels.loudest - levels.nextLoudest, 40)
                << levels.loudest << " against " << levels.nextLoudest;
        }
    }
}

TEST(LampTones, TheLatencyBurstsGoRoundLampsThreeToSixInTheirPlansOrder) {
    const kftest::BurstPlan plan = kftest::lampBursts(9);
    EXPECT_EQ(plan.count, 9);
    ASSERT_EQ(plan.freqs.size(), 4u);
    const std::vector<LampTone> tones{kftest::kLamp3, kftest::kLamp4, kftest::kLamp5,
                                      kftest::kLamp6};
    for (int burst = 0; burst < 9; ++burst) {
        const LampTone& tone = tones[static_cast<std::size_t>(burst % 4)];
        EXPECT_DOUBLE_EQ(plan.freqs[static_cast<std::size_t>(burst % 4)], tone.hz());
        EXPECT_EQ(kftest::lampOfBurst(burst), tone.lamp) << "burst " << burst;
    }
}

}  // namespace
