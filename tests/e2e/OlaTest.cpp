// The program as a stage rig sees it: the real binary sending its lamps to a real olad of the
// test's own, a second OLA client reading the universe back, and tones played into the default
// sink.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "audio/PulseTestSupport.h"
#include "e2e/ProgramRun.h"
#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/Olad.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::kLamp7;
using kftest::lampTone;
using kftest::SignalPlayer;

using kftest::DmxUpdate;
using kftest::DmxWatcher;
using kftest::lampText;
using kftest::OladServer;

constexpr const char* kAbsent = "OLA: no olad answers on this machine; DMX output waits for it";

// Bin 7 (301 Hz) falls in band 4, the side's lamp 3; bin 163 (7020 Hz) in band 8, lamp 7.
constexpr unsigned kLeftLampChannel = 3;    // left lamp 3
constexpr unsigned kRightLampChannel = 15;  // right lamp 7: 8 + 7

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Of the sixteen channels from `first`, exactly `lit` (1-based among the sixteen) is 255.
auto onlyLamp(unsigned lit, unsigned first = 1) {
    return [=](const DmxUpdate& u) {
        for (unsigned i = 1; i <= 16; ++i) {
            if (u.channel(first + i - 1) != (i == lit ? 255 : 0)) {
                return false;
            }
        }
        return true;
    };
}

auto allDark(unsigned first = 1) {
    return [=](const DmxUpdate& u) {
        for (unsigned i = 0; i < 16; ++i) {
            if (u.channel(first + i) != 0) {
                return false;
            }
        }
        return true;
    };
}

class OlaProgram : public Program {
  protected:
    void SetUp() override {
        KF_REQUIRE(kftest::oladAvailable(), "olad (Debian package ola) and its olad user");
        KF_REQUIRE(kftest::serverAnswers(),
                   "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
    }
    EnvChanges env(const std::string& universe) const {
        return {{"KLEURFLITS_OLA_UNIVERSE", universe},
                {"KLEURFLITS_OLA_PORT", std::to_string(olad_.rpcPort())}};
    }
    std::string seen(const DmxWatcher& w, unsigned first = 1) const {
        const auto last = w.last();
        return last ? lampText(*last, first) : std::string("nothing");
    }
    // Starts the program on `icp` and plays a left tone (kept in `tone`) until the board shows
    // a lamp, then a second more: long enough for any DMX the program would send.
    void startLitForASecond(Icp12Sim& icp, const EnvChanges& e,
                            std::unique_ptr<SignalPlayer>& tone) {
        start({&icp}, e);
        ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
            << icp.summary();
        tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left));
        ASSERT_TRUE(tone->waitStarted());
        ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.lit() != 0; }, 10s))
            << icp.summary();
        std::this_thread::sleep_for(1s);
    }
    // For a second of steady tone after the update `lit` that first showed it: the updates
    // show only `lamp` lit of the sixteen, and the other side's eight stay dark throughout.
    void expectSteady(const DmxWatcher& w, const DmxUpdate& lit, unsigned lamp,
                      unsigned first = 1) {
        std::this_thread::sleep_for(1s);
        std::size_t only = 0;
        std::size_t count = 0;
        std::ostringstream text;
        const unsigned otherSide = lamp <= 8 ? 9 : 1;
        for (const DmxUpdate& u : w.updates()) {
            if (u.at < lit.at) {
                continue;
            }
            ++count;
            only += onlyLamp(lamp, first)(u) ? 1 : 0;
            text << lampText(u, first) << '\n';
            for (unsigned i = otherSide; i < otherSide + 8; ++i) {
                EXPECT_EQ(u.channel(first + i - 1), 0) << "lamp channel " << i;
            }
        }
        ASSERT_GE(count, 1u);
        EXPECT_GE(static_cast<double>(only) / static_cast<double>(count), 0.9) << text.str();
        ASSERT_TRUE(w.last());
        EXPECT_TRUE(onlyLamp(lamp, first)(*w.last())) << lampText(*w.last(), first);
    }

    OladServer olad_;
};

TEST_F(OlaProgram, ALeftToneLightsChannel3AndARightToneChannel15ThenSigtermLeavesAllDark) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    start({}, env("1"));

    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left));
    ASSERT_TRUE(tone->waitStarted());
    const auto left = watcher.waitFor(onlyLamp(kLeftLampChannel), 15s);
    ASSERT_TRUE(left) << seen(watcher);
    expectSteady(watcher, *left, kLeftLampChannel);
    tone.reset();

    tone = std::make_unique<SignalPlayer>(lampTone(kLamp7, Ear::Right));
    ASSERT_TRUE(tone->waitStarted());
    const auto right = watcher.waitFor(onlyLamp(kRightLampChannel), 10s);
    ASSERT_TRUE(right) << seen(watcher);
    expectSteady(watcher, *right, kRightLampChannel);

    // SIGTERM with the right lamp lit: the channels must end at 0.
    const std::size_t lit = watcher.count();
    terminate();
    tone.reset();
    EXPECT_TRUE(watcher.waitFor(allDark(), 2s, lit)) << seen(watcher);
    std::this_thread::sleep_for(1s);  // nothing lights them again after the end
    ASSERT_TRUE(watcher.last());
    EXPECT_EQ(lampText(*watcher.last()), "L........ R........");
    EXPECT_EQ(countOf(run_->output(), "OLA: olad answers"), 1u) << run_->output();
    EXPECT_EQ(countOf(run_->output(), kAbsent), 0u);
}

// Universe 2 from channel 33: the left lamps are 33..40, the right 41..48; SIGINT ends dark.
TEST_F(OlaProgram, TheFirstChannelMovesAllSixteenAndSigintLeavesThemDark) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 2);
    ASSERT_TRUE(watcher.waitRegistered());
    start({}, env("2:33"));

    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp7, Ear::Right));
    ASSERT_TRUE(tone->waitStarted());
    const auto u = watcher.waitFor(onlyLamp(kRightLampChannel, 33), 15s);
    ASSERT_TRUE(u) << seen(watcher, 33);
    EXPECT_EQ(u->channel(47), 255);
    for (unsigned ch = 1; ch <= 32; ++ch) {
        EXPECT_EQ(u->channel(ch), 0) << "channel " << ch;
    }
    EXPECT_EQ(u->channel(15), 0);
    EXPECT_TRUE(run_->waitForOutput("universe 2, channels 33-48", 1s)) << run_->output();

    const std::size_t lit = watcher.count();
    ASSERT_TRUE(run_->stop(SIGINT, 20s));
    ASSERT_TRUE(run_->exitStatus());
    EXPECT_EQ(*run_->exitStatus(), 0);
    tone.reset();
    EXPECT_TRUE(watcher.waitFor(allDark(33), 2s, lit)) << seen(watcher, 33);
    ASSERT_TRUE(watcher.last());
    EXPECT_EQ(lampText(*watcher.last(), 33), "L........ R........");
}

// olad killed mid-show (a steady tone: nothing new for the output to send) and started again:
// the lamp is back within 2 s, and the program said once that olad was gone.
TEST_F(OlaProgram, OladKilledAndStartedAgainMidShowGetsTheLampBackWithinTwoSeconds) {
    ASSERT_TRUE(olad_.start());
    start({}, env("1"));
    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left));
    ASSERT_TRUE(tone->waitStarted());
    {
        DmxWatcher watcher(olad_.rpcPort(), 1);
        ASSERT_TRUE(watcher.waitRegistered());
        ASSERT_TRUE(watcher.waitFor(onlyLamp(kLeftLampChannel), 15s)) << seen(watcher);
    }
    olad_.kill();
    ASSERT_TRUE(run_->waitForOutput(kAbsent, 3s)) << run_->output();
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(run_->running());

    const auto starting = kftest::OlaClock::now();
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    const auto u = watcher.waitFor(onlyLamp(kLeftLampChannel), 10s);
    ASSERT_TRUE(u) << seen(watcher);
    EXPECT_LT(u->at - starting, 2s);
    std::cout << "lamp back "
              << std::chrono::duration_cast<std::chrono::milliseconds>(u->at - starting).count()
              << " ms after olad was started again\n";
    EXPECT_EQ(countOf(run_->output(), kAbsent), 1u) << run_->output();

    terminate();
    tone.reset();
}

// No olad: one line says so, the boards get their frames, and the end does not wait for it.
TEST_F(OlaProgram, WithoutOladTheShowRunsAndSaysSoOnce) {
    Icp12Sim icp;
    start({&icp}, env("1"));
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
        << icp.summary();
    const unsigned frames = icp.state().frameCount;
    std::this_thread::sleep_for(3s);
    EXPECT_GT(icp.state().frameCount, frames + 100) << "the frames stopped";
    EXPECT_EQ(countOf(run_->output(), kAbsent), 1u) << run_->output();
    const auto t0 = Clock::now();
    terminate();
    EXPECT_LT(Clock::now() - t0, 10s);
}

// A universe that is no universe: one line, no DMX at all, the show goes on.
TEST_F(OlaProgram, ABadUniverseIsSaidOnceAndNothingIsSent) {
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    Icp12Sim icp;
    std::unique_ptr<SignalPlayer> tone;
    startLitForASecond(icp, env("1:600"), tone);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_EQ(watcher.count(), 0u) << seen(watcher);
    EXPECT_EQ(countOf(run_->output(), "KLEURFLITS_OLA_UNIVERSE=\"1:600\""), 1u) << run_->output();
    EXPECT_EQ(countOf(run_->output(), "OLA:"), 0u) << run_->output();
    terminate();
    tone.reset();
}

// The shared objects the process has mapped, one path a line.
std::string mappedFiles(pid_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::ostringstream files;
    std::string line;
    while (std::getline(maps, line)) {
        const auto slash = line.find('/');
        if (slash != std::string::npos) {
            files << line.substr(slash) << '\n';
        }
    }
    return files.str();
}

constexpr const char* kModuleOff = "DMX output is off";

// The OLA client libraries cost some 4 MB of memory: a run without DMX must not map them.
TEST_F(OlaProgram, WithoutAUniverseNeitherTheModuleNorOlaNorProtobufIsMapped) {
    Icp12Sim icp;
    start({&icp},
          {{"KLEURFLITS_OLA_UNIVERSE", std::nullopt}, {"KLEURFLITS_OLA_MODULE", std::nullopt}});
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
        << icp.summary();
    const std::string files = mappedFiles(run_->pid());
    ASSERT_NE(files.find("kleurflits-stereo"), std::string::npos) << files;
    EXPECT_EQ(files.find("kleurflits-ola"), std::string::npos) << files;
    EXPECT_EQ(files.find("libola"), std::string::npos) << files;
    EXPECT_EQ(files.find("libprotobuf"), std::string::npos) << files;
    terminate();
}

// With a universe, the program loads the module from beside itself, and OLA with it.
TEST_F(OlaProgram, WithAUniverseTheModuleBesideTheProgramIsLoaded) {
    ASSERT_TRUE(olad_.start());
    Icp12Sim icp;
    auto e = env("1");
    e["KLEURFLITS_OLA_MODULE"] = std::nullopt;
    start({&icp}, e);
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
        << icp.summary();
    ASSERT_TRUE(run_->waitForOutput("OLA: olad answers", 15s)) << run_->output();
    const std::string files = mappedFiles(run_->pid());
    const auto beside = std::filesystem::path(KF_PROGRAM).parent_path() / "kleurflits-ola.so";
    EXPECT_NE(files.find(beside.string() + "\n"), std::string::npos) << files;
    EXPECT_NE(files.find("libola"), std::string::npos) << files;
    EXPECT_EQ(countOf(run_->output(), kModuleOff), 0u) << run_->output();
    terminate();
}

// A module that is not there, or not a library, is bad input from outside: one line says DMX
// output is off and why, nothing reaches olad, and the boards go on.
class OlaModuleMissing : public OlaProgram, public testing::WithParamInterface<bool> {};

TEST_P(OlaModuleMissing, IsOneLineWithTheReasonAndTheShowGoesOnWithoutDmx) {
    const bool present = GetParam();
    const auto dir =
        std::filesystem::temp_directory_path() /
        ("kf-ola-module-" + std::to_string(::getpid()) + (present ? "-junk" : "-none"));
    std::filesystem::create_directories(dir);
    const auto module = dir / "kleurflits-ola.so";
    std::string reason = "No such file or directory";
    if (present) {
        std::ofstream(module) << std::string(4096, '#') << "not a shared object\n";
        reason = "invalid ELF header";
    }
    ASSERT_TRUE(olad_.start());
    DmxWatcher watcher(olad_.rpcPort(), 1);
    ASSERT_TRUE(watcher.waitRegistered());
    Icp12Sim icp;
    auto e = env("1");
    e["KLEURFLITS_OLA_MODULE"] = module.string();
    std::unique_ptr<SignalPlayer> tone;
    startLitForASecond(icp, e, tone);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_TRUE(run_->running());
    EXPECT_EQ(watcher.count(), 0u) << seen(watcher);
    std::vector<std::string> said;
    for (const auto& line : run_->outputLines()) {
        if (line.find(kModuleOff) != std::string::npos) {
            said.push_back(line);
        }
    }
    ASSERT_EQ(said.size(), 1u) << run_->output();
    EXPECT_NE(said[0].find(module.string()), std::string::npos) << said[0];
    EXPECT_NE(said[0].find(reason), std::string::npos) << said[0];
    EXPECT_EQ(countOf(run_->output(), "OLA:"), 0u) << run_->output();
    terminate();
    tone.reset();
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(AbsentOrJunk, OlaModuleMissing, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "NoLibrary" : "Absent";
                         });

}  // namespace
}  // namespace kfe2e
