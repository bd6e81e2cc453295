// The DMX output: the lamps-to-channels encoder and the variables' parsing, then the output
// against a real olad of the test's own, read back by a second OLA client.

#include "devices/OlaOutput.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <thread>
#include <vector>

#include "devices/DmxOutput.h"
#include "support/Olad.h"
#include "support/Require.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using kftest::DmxUpdate;
using kftest::DmxWatcher;
using kftest::lampText;
using kftest::OlaClock;
using kftest::OladServer;

std::array<std::uint8_t, 16> channels(std::initializer_list<unsigned> lit) {
    std::array<std::uint8_t, 16> c{};
    for (unsigned ch : lit) {
        c[ch - 1] = 255;
    }
    return c;
}

TEST(OlaEncoder, EachLeftLampIsItsChannelAndEachRightLampEightFurther) {
    for (unsigned lamp = 0; lamp < 8; ++lamp) {
        const auto bit = static_cast<std::uint8_t>(1u << lamp);
        EXPECT_EQ(encodeLamps(bit, 0), channels({lamp + 1})) << "left lamp " << lamp + 1;
        EXPECT_EQ(encodeLamps(0, bit), channels({lamp + 9})) << "right lamp " << lamp + 1;
    }
    EXPECT_EQ(encodeLamps(0, 0), channels({}));
    EXPECT_EQ(encodeLamps(0xFF, 0xFF),
              channels({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
    // Band 4's lamp (bit 2) on the left, band 8's (bit 6) on the right.
    EXPECT_EQ(encodeLamps(1u << 2, 1u << 6), channels({3, 15}));
}

TEST(OlaUniverse, AUniverseAloneStartsAtChannelOne) {
    const auto t = parseOlaUniverse("1");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->universe, 1u);
    EXPECT_EQ(t->firstChannel, 1u);
    const auto top = parseOlaUniverse("65535");
    ASSERT_TRUE(top);
    EXPECT_EQ(top->universe, 65535u);
}

TEST(OlaUniverse, AColonNamesTheFirstChannel) {
    const auto t = parseOlaUniverse("1:33");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->universe, 1u);
    EXPECT_EQ(t->firstChannel, 33u);
    const auto last = parseOlaUniverse("7:497");
    ASSERT_TRUE(last);
    EXPECT_EQ(last->universe, 7u);
    EXPECT_EQ(last->firstChannel, 497u);  // channels 497..512
    EXPECT_EQ(parseOlaUniverse("2:1")->firstChannel, 1u);
}

TEST(OlaUniverse, AnythingElseIsRefusedWithAReason) {
    for (const char* bad : {"",      "0",     "65536",  "4294967297", "99999999999999999999999",
                            "-1",    "+1",    " 1",     "1 ",         "x",
                            "1x",    "1.5",   "1:",     ":33",        "1:0",
                            "1:498", "1:512", "1:33:2", "1;33",       "1:-3",
                            "1:3x",  "0x10"}) {
        std::string why;
        EXPECT_FALSE(parseOlaUniverse(bad, &why)) << '"' << bad << '"';
        EXPECT_FALSE(why.empty()) << '"' << bad << '"';
    }
}

TEST(OlaPort, APortIsANumberFrom1To65535) {
    EXPECT_EQ(parseOlaPort("9010"), std::uint16_t{9010});
    EXPECT_EQ(parseOlaPort("1"), std::uint16_t{1});
    EXPECT_EQ(parseOlaPort("65535"), std::uint16_t{65535});
    for (const char* bad : {"", "0", "65536", "-9010", "90 10", "port", "9010x"}) {
        std::string why;
        EXPECT_FALSE(parseOlaPort(bad, &why)) << '"' << bad << '"';
        EXPECT_FALSE(why.empty());
    }
}

class OlaEnvironment : public testing::Test {
  protected:
    void SetUp() override {
        ::unsetenv("KLEURFLITS_OLA_UNIVERSE");
        ::unsetenv("KLEURFLITS_OLA_PORT");
    }
    void TearDown() override { SetUp(); }
};

TEST_F(OlaEnvironment, UnsetMeansNoOutputAndNothingSaid) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(olaSettingsFromEnvironment());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(OlaEnvironment, UniverseAndPortAreTaken) {
    ::setenv("KLEURFLITS_OLA_UNIVERSE", "12:33", 1);
    ::setenv("KLEURFLITS_OLA_PORT", "19010", 1);
    const auto s = olaSettingsFromEnvironment();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->target.universe, 12u);
    EXPECT_EQ(s->target.firstChannel, 33u);
    EXPECT_EQ(s->rpcPort, 19010);
    ::unsetenv("KLEURFLITS_OLA_PORT");
    EXPECT_EQ(olaSettingsFromEnvironment()->rpcPort, 9010);
}

TEST_F(OlaEnvironment, ABadValueIsOneLineAndNoOutput) {
    for (const auto& [universe, port] :
         {std::pair{"1:600", ""}, std::pair{"universe", ""}, std::pair{"1", "99999"}}) {
        ::setenv("KLEURFLITS_OLA_UNIVERSE", universe, 1);
        if (*port != '\0') {
            ::setenv("KLEURFLITS_OLA_PORT", port, 1);
        }
        testing::internal::CaptureStderr();
        EXPECT_FALSE(olaSettingsFromEnvironment()) << universe << " " << port;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(*port != '\0' ? "KLEURFLITS_OLA_PORT" : "KLEURFLITS_OLA_UNIVERSE"),
                  std::string::npos)
            << said;
        EXPECT_NE(said.find("no DMX output"), std::string::npos) << said;
        ::unsetenv("KLEURFLITS_OLA_PORT");
    }
}

// ---- Against a real olad ----

class OlaOutputTest : public testing::Test {
  protected:
    void SetUp() override {
        KF_REQUIRE(kftest::oladAvailable(), "olad (Debian package ola) and its olad user");
    }
    OlaSettings settings(unsigned universe, unsigned first = 1) const {
        OlaSettings s;
        s.target = {universe, first};
        s.rpcPort = olad_.rpcPort();
        return s;
    }
    static auto lamps(std::initializer_list<unsigned> lit, unsigned first = 1) {
        return [want = channels(lit), first](const DmxUpdate& u) {
            for (unsigned i = 0; i < 16; ++i) {
                if (u.channel(first + i) != want[i]) {
                    return false;
                }
            }
            return true;
        };
    }
    static std::string seen(const DmxWatcher& w, unsigned first = 1) {
        const auto last = w.last();
        return last ? lampText(*last, first) : "nothing";
    }

    OladServer olad_;
};

TEST_F(OlaOutputTest, TheLampsReachTheUniverseFromTheFirstChannel) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 3);
    ASSERT_TRUE(watcher.waitRegistered());
    OlaOutput out(settings(3, 33));
    out.frame(1u << 2, 1u << 6);
    const auto u = watcher.waitFor(lamps({3, 15}, 33), 5s);
    ASSERT_TRUE(u) << seen(watcher, 33);
    for (unsigned ch = 1; ch <= 32; ++ch) {
        EXPECT_EQ(u->channel(ch), 0) << "channel " << ch;
    }
    EXPECT_EQ(u->channel(35), 255);
    EXPECT_EQ(u->channel(47), 255);
    for (unsigned ch = 49; ch <= 512; ++ch) {
        EXPECT_EQ(u->channel(ch), 0) << "channel " << ch;
    }
    // The next frame replaces it.
    out.frame(0, 1u << 7);
    ASSERT_TRUE(watcher.waitFor(lamps({16}, 33), 5s)) << seen(watcher, 33);
}

// olad stopped dead (SIGSTOP) fills the socket and then holds the writer; the frames go on
// at their pace, and once olad runs again the newest frame is the one it ends with.
TEST_F(OlaOutputTest, AStuckOladNeverHoldsUpAFrameAndTheNewestFrameWins) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    OlaOutput out(settings(1));
    out.frame(1, 0);
    ASSERT_TRUE(watcher.waitFor(lamps({1}), 5s)) << seen(watcher);

    ASSERT_EQ(::kill(olad_.pid(), SIGSTOP), 0);
    std::atomic<bool> stop{false};
    OlaClock::duration longest{};
    std::uint32_t lastLeft = 0;
    std::uint32_t lastRight = 0;
    std::uint64_t frames = 0;
    std::thread frameLoop([&] {
        for (std::uint32_t n = 0; !stop; ++n) {
            // Every frame differs from the one before, so each one is news to the writer.
            lastLeft = (n % 255) + 1;
            lastRight = (n / 255) % 256;
            const auto t0 = OlaClock::now();
            out.frame(lastLeft, lastRight);
            longest = std::max(longest, OlaClock::now() - t0);
            ++frames;
            std::this_thread::sleep_for(10us);
        }
    });
    std::this_thread::sleep_for(3s);
    const std::uint64_t sendsWhileStuck = out.sends();
    stop = true;
    frameLoop.join();
    ASSERT_EQ(::kill(olad_.pid(), SIGCONT), 0);

    EXPECT_LT(longest, 200ms) << "a frame waited for olad";
    EXPECT_GT(frames, 1000u);
    const std::uint8_t l = static_cast<std::uint8_t>(lastLeft);
    const std::uint8_t r = static_cast<std::uint8_t>(lastRight);
    const auto want = encodeLamps(l, r);
    const auto newest = watcher.waitFor(
        [&](const DmxUpdate& u) {
            for (unsigned i = 0; i < 16; ++i) {
                if (u.channel(i + 1) != want[i]) {
                    return false;
                }
            }
            return true;
        },
        10s);
    ASSERT_TRUE(newest) << seen(watcher);
    std::cout << frames << " frames while olad was stopped, " << sendsWhileStuck
              << " sends by then, " << out.sends() << " in all\n";
}

// Frames handed over far faster than anything can be sent: the writer skips the ones it had
// no time for, and the last one handed over is what olad ends with.
TEST_F(OlaOutputTest, OfABurstOfFramesTheNewestIsWhatStays) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    OlaOutput out(settings(1));
    out.frame(1, 0);
    ASSERT_TRUE(watcher.waitFor(lamps({1}), 5s)) << seen(watcher);
    constexpr std::uint32_t kFrames = 20000;
    for (std::uint32_t n = 0; n < kFrames; ++n) {
        out.frame(n & 0xFFu, (n >> 8) & 0xFFu);
    }
    out.frame(0x5A, 0xA5);  // lamps 2 4 5 7 left, 1 3 6 8 right
    ASSERT_TRUE(watcher.waitFor(lamps({2, 4, 5, 7, 9, 11, 14, 16}), 5s)) << seen(watcher);
    std::this_thread::sleep_for(OlaOutput::kRefresh * 2);
    ASSERT_TRUE(watcher.last());
    EXPECT_EQ(lampText(*watcher.last()), "L.#.##.#. R#.#..#.#");
    EXPECT_LT(out.sends(), kFrames / 2) << "every frame was sent: nothing was skipped";
}

// A hundred different frames a second: olad gets them no closer than the gap (a DMX line
// carries a universe some 44 times a second at most), and still ends with the last one.
TEST_F(OlaOutputTest, ChangesEveryFrameReachOladNoCloserThanTheGap) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    OlaOutput out(settings(1));
    out.frame(1, 0);
    ASSERT_TRUE(watcher.waitFor(lamps({1}), 5s)) << seen(watcher);
    const std::uint64_t sends0 = out.sends();
    auto next = OlaClock::now();
    for (std::uint32_t n = 2; n < 202; ++n) {  // two seconds of frames
        next += 10ms;
        std::this_thread::sleep_until(next);
        out.frame(n & 0xFFu, 0);
    }
    const std::uint64_t sends = out.sends() - sends0;
    EXPECT_LE(sends, 2000 / OlaOutput::kMinGap.count() + 2) << sends << " sends in 2 s";
    EXPECT_GE(sends, 2000 / OlaOutput::kMinGap.count() / 2) << sends << " sends in 2 s";
    ASSERT_TRUE(watcher.waitFor(lamps({1, 4, 7, 8}), 2s)) << seen(watcher);  // 201 = 0b11001001
}

TEST_F(OlaOutputTest, WithoutOladItSaysSoOnceAndStartsWithinTwoSecondsOfOlad) {
    testing::internal::CaptureStderr();
    {
        OlaOutput out(settings(1));
        out.frame(1u << 2, 0);
        std::this_thread::sleep_for(1500ms);
        EXPECT_FALSE(out.connected());
        EXPECT_EQ(out.sends(), 0u);
        ASSERT_TRUE(olad_.start());
        const auto started = OlaClock::now();
        DmxWatcher watcher(olad_.rpcPort(), 1);
        ASSERT_TRUE(watcher.waitRegistered());
        const auto u = watcher.waitFor(lamps({3}), 5s);
        ASSERT_TRUE(u) << seen(watcher);
        EXPECT_LT(u->at - started, 2s);
        EXPECT_TRUE(out.connected());
    }
    const std::string said = testing::internal::GetCapturedStderr();
    std::size_t count = 0;
    for (auto at = said.find(OlaOutput::kAbsentLine); at != std::string::npos;
         at = said.find(OlaOutput::kAbsentLine, at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 1u) << said;
}

// Nothing changes on stage (a steady tone) while olad is killed and started again: the
// unchanged lamps come back by themselves.
TEST_F(OlaOutputTest, OladKilledAndStartedAgainGetsTheLampsWithinTwoSeconds) {
    ASSERT_TRUE(olad_.start());
    OlaOutput out(settings(1));
    {
        DmxWatcher watcher(olad_.rpcPort(), 1);
        ASSERT_TRUE(watcher.waitRegistered());
        out.frame(0, 1u << 6);
        ASSERT_TRUE(watcher.waitFor(lamps({15}), 5s)) << seen(watcher);
    }
    olad_.kill();
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(out.connected());
    out.frame(0, 1u << 6);  // the same lamps: nothing new for the writer
    ASSERT_TRUE(olad_.start());
    const auto started = OlaClock::now();
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    const auto u = watcher.waitFor(lamps({15}), 5s);
    ASSERT_TRUE(u) << seen(watcher);
    EXPECT_LT(u->at - started, 2s);
}

// As the boards see the universe: told once when olad answers and once when it is gone, from
// the frames' own thread, however many frames run meanwhile.
TEST_F(OlaOutputTest, TheUniverseTellsOnceWhenOladAnswersAndOnceWhenItIsGone) {
    ASSERT_TRUE(olad_.start());
    OlaOutput ola(settings(1));
    DmxOutput dmx(ola);
    std::vector<Output::State> told;
    const std::thread::id frames = std::this_thread::get_id();
    bool onFrameThread = true;
    dmx.setStateNotice([&](const Output&, Output::State now) {
        told.push_back(now);
        onFrameThread = onFrameThread && std::this_thread::get_id() == frames;
    });
    auto runFramesUntil = [&](std::size_t count) {
        const auto deadline = OlaClock::now() + 5s;
        LampFrame f;
        while (told.size() < count && OlaClock::now() < deadline) {
            f.patterns(Links) ^= 1;  // a change every frame, so sends go on
            dmx.take(f);
            dmx.frameEnded();
            std::this_thread::sleep_for(10ms);
        }
    };
    runFramesUntil(1);
    ASSERT_EQ(told, std::vector{Output::State::Open});
    olad_.kill();
    runFramesUntil(2);
    for (int i = 0; i < 20; ++i) {  // more frames: no more news
        dmx.frameEnded();
    }
    EXPECT_EQ(told, (std::vector{Output::State::Open, Output::State::Lost}));
    EXPECT_TRUE(onFrameThread);
}

TEST_F(OlaOutputTest, SwitchOffLeavesAllSixteenAtZeroAndIgnoresLaterFrames) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    auto out = std::make_unique<OlaOutput>(settings(1, 5));
    out->frame(0xFF, 0xFF);
    ASSERT_TRUE(
        watcher.waitFor(lamps({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, 5), 5s))
        << seen(watcher, 5);
    const std::size_t lit = watcher.count();
    EXPECT_TRUE(out->switchOff());
    out->frame(0xFF, 0xFF);
    // As the program ends right after: nothing of the output is left.
    out.reset();
    ASSERT_TRUE(watcher.waitFor(lamps({}, 5), 5s, lit)) << seen(watcher, 5);
    std::this_thread::sleep_for(OlaOutput::kRefresh * 2);
    const auto last = watcher.last();
    ASSERT_TRUE(last);
    EXPECT_EQ(lampText(*last, 5), "L........ R........");
}

TEST_F(OlaOutputTest, SwitchOffWithoutOladGivesUpAtOnce) {
    testing::internal::CaptureStderr();
    OlaOutput out(settings(1));
    out.frame(1, 1);
    const auto t0 = OlaClock::now();
    EXPECT_FALSE(out.switchOff());
    EXPECT_LT(OlaClock::now() - t0, OlaOutput::kOffWait);
    testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace kf
