// The program as a user runs it: the real binary, simulated boards on pseudo-terminals, sound
// played into the default sink, and SIGTERM at the end.

#include <gtest/gtest.h>
#include <signal.h>

#include <bit>
#include <iostream>
#include <memory>
#include <string_view>
#include <thread>

#include "audio/PulseTestSupport.h"
#include "boardsim/SilentSim.h"
#include "e2e/ProgramRun.h"
#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::kLamp7;
using kftest::lampTone;
using kftest::noise;
using kftest::SignalPlayer;

using kf::boardsim::ArduinoOptions;
using kf::boardsim::ArduinoType;
using kf::boardsim::SilentSim;

std::unique_ptr<ArduinoSim> arduino(ArduinoType type) {
    ArduinoOptions o;
    o.type = type;
    return std::make_unique<ArduinoSim>(o);
}

bool hasLine(const ProgramRun& run, const std::string& line) {
    for (const auto& l : run.outputLines()) {
        if (l == line) {
            return true;
        }
    }
    return false;
}

// Start-up finds two iCP12 boards, a TM and an AL Arduino around a port that never answers,
// greets the left TM with its side name, and at SIGTERM switches everything off.
TEST_F(Program, FindsEveryBoardOnItsSideGreetsTheTmAndShutsEverythingDown) {
    Icp12Sim icpLeft;
    auto tm = arduino(ArduinoType::TM);
    SilentSim silent;
    auto al = arduino(ArduinoType::AL);
    Icp12Sim icpRight;
    start({&icpLeft, tm.get(), &silent, al.get(), &icpRight});

    // The last port is searched last: its first frame means the search and the opening are over.
    ASSERT_TRUE(icpRight.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
        << icpRight.received();
    const auto searchDone = Clock::now();
    // The other boards get their first traffic in the same frame or the next; their
    // simulators may not have read it yet.
    ASSERT_TRUE(icpLeft.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 2s));
    constexpr std::string_view kArduinoStart = "(ZMD)90/1/";
    ASSERT_TRUE(tm->waitForReceived(kArduinoStart.size(), 2s));
    ASSERT_TRUE(al->waitForReceived(kArduinoStart.size(), 2s));

    EXPECT_TRUE(hasLine(*run_, "kleurflits-stereo:  iCP12 Left on Com: 1"));
    EXPECT_TRUE(hasLine(*run_, "kleurflits-stereo:  Arduino Left Com: 2 TM V1.1"));
    EXPECT_TRUE(hasLine(*run_, "kleurflits-stereo:  Arduino Right Com: 4 AL"));
    EXPECT_TRUE(hasLine(*run_, "kleurflits-stereo: iCP12 Right on Com: 5"));
    EXPECT_EQ(run_->output().find("Com: 3"), std::string::npos);

    // The port without a board got the two questions and was closed for good.
    EXPECT_EQ(silent.received(), "(ZMD)90/");
    EXPECT_FALSE(silent.programHasOpen());
    EXPECT_EQ(silent.openCount(), 1);

    // Each board got its own traffic: set-up once for the iCP12 boards, then frames.
    for (const Icp12Sim* icp : {&icpLeft, &icpRight}) {
        EXPECT_TRUE(icp->received().starts_with(kSetUpBytes)) << icp->received().substr(0, 80);
        const Icp12State s = icp->state();
        for (unsigned n : s.setUpCount) {
            EXPECT_EQ(n, 1u);
        }
        EXPECT_TRUE(icp->programHasOpen());
    }
    EXPECT_TRUE(tm->received().starts_with(kArduinoStart)) << tm->received().substr(0, 40);
    EXPECT_TRUE(al->received().starts_with(kArduinoStart)) << al->received().substr(0, 40);
    EXPECT_EQ(tm->state().identifyCount, 1u);
    EXPECT_EQ(al->state().identifyCount, 1u);

    // About a second after start-up the left TM shows its side name, then rests two seconds
    // while the right board keeps getting its frames.
    ASSERT_TRUE(tm->waitForState([](const ArduinoState& s) { return s.textCount > 0; }, 5s));
    std::this_thread::sleep_for(2500ms);
    const ArduinoState tmState = tm->state();
    const auto texts = messages(tmState, kText);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].argument, "LEFT");
    const auto tmPatterns = messages(tmState, kPattern);
    ASSERT_FALSE(tmPatterns.empty());
    const auto sinceFirstFrame = texts[0].time - tmPatterns.front().time;
    EXPECT_GE(sinceFirstFrame, 800ms);
    EXPECT_LE(sinceFirstFrame, 1600ms);
    const TimePoint textAt = texts[0].time;
    EXPECT_TRUE(messages(tmState, kPattern, textAt, textAt + 1900ms).empty());
    EXPECT_FALSE(messages(tmState, kPattern, textAt + 2000ms, textAt + 2500ms).empty());
    EXPECT_GE(messages(al->state(), kPattern, textAt, textAt + 1900ms).size(), 100u);
    EXPECT_EQ(al->state().textCount, 0u);
    EXPECT_EQ(tmState.peakCount, 0u) << "a TM in V1.1 gets no peak messages";

    // Frames keep coming to every board.
    const Icp12State before = icpLeft.state();
    const auto alBefore = al->state().patternCount;
    std::this_thread::sleep_for(1s);
    EXPECT_GE(icpLeft.state().frameCount - before.frameCount, 50u);
    EXPECT_GE(al->state().patternCount - alBefore, 50u);
    EXPECT_LT(Clock::now() - searchDone, 10s);

    terminate();
    expectIcp12LeftDark(icpLeft, "iCP12 COM1");
    expectIcp12LeftDark(icpRight, "iCP12 COM5");
    expectArduinoLeftDark(*tm, "TM COM2");
    expectArduinoLeftDark(*al, "AL COM4");
    expectTmSaidGoodbye(*tm, "TM COM2");
    EXPECT_EQ(al->state().textCount, 0u);
    EXPECT_EQ(silent.openCount(), 1);
}

// For one second of a steady tone: the lit side's iCP12 and Arduino show only `band`'s lamp,
// the other side's show nothing. icpFrames: the frames a second the lit iCP12's line carries
// (48 characters a frame: 100 at 115200 baud, 20 at the right board's 9600).
void expectOnlyLamp(const Icp12Sim& icpLit, const Icp12Sim& icpDark, const ArduinoSim& etLit,
                    const ArduinoSim& etDark, std::uint8_t band, const std::string& side,
                    unsigned icpFrames) {
    const auto output = static_cast<std::size_t>(std::countr_zero(band));
    const Icp12State lit0 = icpLit.state();
    const Icp12State dark0 = icpDark.state();
    const TimePoint from = Clock::now();
    std::this_thread::sleep_for(1s);
    const TimePoint to = Clock::now();
    const auto lit = messages(etLit.state(), kPattern, from, to);
    const auto dark = messages(etDark.state(), kPattern, from, to);
    EXPECT_GE(lit.size(), 50u);
    EXPECT_GE(shareOf(lit, band), 0.9) << valuesText(lit);
    EXPECT_EQ(shareOf(dark, 0), 1.0) << valuesText(dark);
    const auto ons = onsBetween(lit0, icpLit.state());
    EXPECT_GE(ons[output], icpFrames * 3 / 4);
    for (std::size_t i = 0; i < 8; ++i) {
        if (i != output) {
            EXPECT_LE(ons[i], ons[output] / 20) << side << " output " << i + 1;
        }
    }
    EXPECT_EQ(onsBetween(dark0, icpDark.state()), (std::array<unsigned, 8>{}));
}

// A tone in one band on one side lights that band's lamp on that side's boards only.
TEST_F(Program, LeftToneLightsLeftBand4RightToneLightsRightBand8) {
    KF_REQUIRE(kftest::serverAnswers(),
               "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
    Icp12Sim icpLeft;
    Icp12Sim icpRight;
    auto etLeft = arduino(ArduinoType::ET);
    auto etRight = arduino(ArduinoType::ET);
    start({&icpLeft, &icpRight, etLeft.get(), etRight.get()});
    ASSERT_TRUE(
        etRight->waitForState([](const ArduinoState& s) { return s.patternCount > 0; }, 30s));

    // 301 Hz (bin 7) on the left only.
    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left));
    ASSERT_TRUE(tone->waitStarted());
    ASSERT_TRUE(
        icpLeft.waitForState([&](const Icp12State& s) { return s.lit() == kLamp3.mask(); }, 10s))
        << icpLeft.summary();
    ASSERT_TRUE(etLeft->waitForState(
        [&](const ArduinoState& s) { return s.pattern == kLamp3.mask(); }, 2s));
    expectOnlyLamp(icpLeft, icpRight, *etLeft, *etRight, kLamp3.mask(), "left", 100);
    EXPECT_NE(icpLeft.received().find("(RA21)"), std::string::npos);
    tone.reset();

    // 7020 Hz (bin 163) on the right only.
    tone = std::make_unique<SignalPlayer>(lampTone(kLamp7, Ear::Right));
    ASSERT_TRUE(tone->waitStarted());
    ASSERT_TRUE(
        icpRight.waitForState([&](const Icp12State& s) { return s.lit() == kLamp7.mask(); }, 10s))
        << icpRight.summary();
    ASSERT_TRUE(icpLeft.waitForState([&](const Icp12State& s) { return s.lit() == 0; }, 2s));
    ASSERT_TRUE(etRight->waitForState(
        [&](const ArduinoState& s) { return s.pattern == kLamp7.mask(); }, 2s));
    expectOnlyLamp(icpRight, icpLeft, *etRight, *etLeft, kLamp7.mask(), "right", 20);
    EXPECT_NE(icpRight.received().find("(RB11)"), std::string::npos);

    // SIGTERM while the right lamp is lit: it must end dark.
    terminate();
    tone.reset();
    expectIcp12LeftDark(icpLeft, "iCP12 left");
    expectIcp12LeftDark(icpRight, "iCP12 right");
    expectArduinoLeftDark(*etLeft, "ET left");
    expectArduinoLeftDark(*etRight, "ET right");
    EXPECT_EQ(etLeft->state().textCount + etRight->state().textCount, 0u);
}

// Loud noise: the AL board gets peak messages, the TM in V1.1 none, and the automatic level
// keeps about the chosen six of sixteen lamps lit.
TEST_F(Program, NoiseBringsPeaksToTheAlOnlyAndAutoLevelHoldsAboutSixLamps) {
    KF_REQUIRE(kftest::serverAnswers(),
               "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
    Icp12Sim icpLeft;
    Icp12Sim icpRight;
    auto al = arduino(ArduinoType::AL);
    auto tm = arduino(ArduinoType::TM);
    start({&icpLeft, &icpRight, al.get(), tm.get()});
    // Past the right TM's side name and its pause.
    ASSERT_TRUE(tm->waitForState([](const ArduinoState& s) { return s.textCount > 0; }, 30s));
    std::this_thread::sleep_for(2100ms);
    EXPECT_EQ(messages(tm->state(), kText).front().argument, "   RIGHT");

    auto player = std::make_unique<SignalPlayer>(noise(0.9f));
    ASSERT_TRUE(player->waitStarted());
    ASSERT_TRUE(al->waitForState([](const ArduinoState& s) { return s.peakCount > 0; }, 10s))
        << "no peak message reached the AL board";
    // The threshold moves one step a frame: give it time to settle.
    std::this_thread::sleep_for(2s);

    const TimePoint from = Clock::now();
    double icpLamps = 0;
    int samples = 0;
    while (Clock::now() < from + 2500ms) {
        icpLamps +=
            std::popcount(icpLeft.state().lastFrame) + std::popcount(icpRight.state().lastFrame);
        ++samples;
        std::this_thread::sleep_for(10ms);
    }
    const TimePoint to = Clock::now();
    icpLamps /= samples;
    const auto alPatterns = messages(al->state(), kPattern, from, to);
    const auto tmPatterns = messages(tm->state(), kPattern, from, to);
    ASSERT_GE(alPatterns.size(), 100u);
    ASSERT_GE(tmPatterns.size(), 100u);
    const double arduinoLamps = meanLamps(alPatterns) + meanLamps(tmPatterns);
    EXPECT_GE(arduinoLamps, 3.0) << valuesText(alPatterns) << "| " << valuesText(tmPatterns);
    EXPECT_LE(arduinoLamps, 9.0) << valuesText(alPatterns) << "| " << valuesText(tmPatterns);
    EXPECT_GE(icpLamps, 3.0);
    EXPECT_LE(icpLamps, 9.0);
    // Both sides take part: the noise is as loud on each.
    EXPECT_GT(meanLamps(alPatterns), 1.0);
    EXPECT_GT(meanLamps(tmPatterns), 1.0);

    const auto peaks = messages(al->state(), kPeak, from, to);
    EXPECT_GE(peaks.size(), 20u);
    bool topBand = false;
    for (const auto& p : peaks) {
        EXPECT_NE(value(p), 0) << "an AL board only gets non-zero peak masks";
        topBand = topBand || (value(p) & 0x80) != 0;
    }
    EXPECT_TRUE(topBand) << valuesText(peaks);

    // Silence: the peak messages stop and the lamps go dark.
    player.reset();
    std::this_thread::sleep_for(1500ms);
    {
        const TimePoint t = Clock::now();
        EXPECT_TRUE(messages(al->state(), kPeak, t - 1s, t).empty());
        EXPECT_GE(shareOf(messages(al->state(), kPattern, t - 1s, t), 0), 0.95);
    }

    // Bursts of 300 ms in every 800 ms: each one brings its own run of peak messages.
    const TimePoint burstsFrom = Clock::now();
    player =
        std::make_unique<SignalPlayer>(noise(0.9f, [](long long n) { return n % 35280 < 13230; }));
    ASSERT_TRUE(player->waitStarted());
    std::this_thread::sleep_for(3200ms);
    const auto burstPeaks = messages(al->state(), kPeak, burstsFrom, Clock::now());
    int runs = burstPeaks.empty() ? 0 : 1;
    for (std::size_t i = 1; i < burstPeaks.size(); ++i) {
        runs += burstPeaks[i].time - burstPeaks[i - 1].time > 250ms ? 1 : 0;
    }
    EXPECT_GE(runs, 3) << burstPeaks.size() << " peak messages";
    EXPECT_EQ(tm->state().peakCount, 0u) << "a TM in V1.1 gets no peak messages";

    // SIGTERM in the middle of the noise, with lamps lit.
    player = std::make_unique<SignalPlayer>(noise(0.9f));
    ASSERT_TRUE(player->waitStarted());
    std::this_thread::sleep_for(500ms);
    terminate();
    player.reset();
    expectIcp12LeftDark(icpLeft, "iCP12 left");
    expectIcp12LeftDark(icpRight, "iCP12 right");
    expectArduinoLeftDark(*al, "AL left");
    expectArduinoLeftDark(*tm, "TM right");
    expectTmSaidGoodbye(*tm, "TM right");
    EXPECT_EQ(tm->state().peakCount, 0u);
}

}  // namespace
}  // namespace kfe2e
