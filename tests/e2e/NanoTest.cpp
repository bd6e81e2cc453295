// The whole chain from sound to pins: the real program, a tone in the null sink, and the
// lamp-board firmware running in a simulated ATmega328P behind a pseudo-terminal.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "audio/PulseTestSupport.h"
#include "avrsim/AvrSim.h"
#include "avrsim/PtyBridge.h"
#include "e2e/ProgramRun.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::lampTone;
using kftest::SignalPlayer;

using namespace std::chrono_literals;
using kf::avrsim::AvrSim;

class Nano : public testing::Test {
  protected:
    void SetUp() override {
        const char* dir = std::getenv("KF_FIRMWARE_DIR");
        elf_ = std::string(dir && *dir ? dir : KF_FIRMWARE_DIR) + "/kleurflits-ET.elf";
        KF_REQUIRE(::access(elf_.c_str(), R_OK) == 0,
                   "the firmware " << elf_ << " (the build makes it: target kf_firmware)");
    }
    void TearDown() override {
        if (HasFailure() && run_) {
            std::cout << "---- program output ----\n" << run_->output() << "------------------\n";
        }
    }
    // A left tone lights the board's lamp 3 (301 Hz: band 4, D4); SIGTERM then takes every
    // lamp pin low.
    void expectToneLightsLampThreeAndTheEndIsDark(kf::avrsim::PtyBridge& bridge) {
        {
            SignalPlayer tone(lampTone(kLamp3, Ear::Left));
            ASSERT_TRUE(tone.waitStarted());
            EXPECT_TRUE(bridge.waitFor(
                [](const AvrSim& s) { return (s.outputs().lamps & 0b100) != 0; }, 10000ms))
                << "lamp 3's pin never went high";
        }
        ASSERT_TRUE(run_->stop(SIGTERM, 20s));
        EXPECT_EQ(run_->exitStatus(), std::optional<int>(0));
        EXPECT_TRUE(bridge.waitFor([](const AvrSim& s) { return s.outputs().lamps == 0; }, 3000ms))
            << "the lamp pins did not all go low";
    }

    std::string elf_;
    std::unique_ptr<ProgramRun> run_;
};

TEST_F(Nano, AToneLightsItsLampPinAndShutdownLeavesEveryPinLow) {
    KF_REQUIRE(kftest::serverAnswers(),
               "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
    AvrSim sim(elf_, kf::fw::BoardType::ET);
    std::mutex mutex;
    std::vector<std::uint8_t> lampHistory;
    sim.onChange([&](const kf::avrsim::Change& c) {
        std::lock_guard lock(mutex);
        lampHistory.push_back(c.outputs.lamps);
    });
    kf::avrsim::PtyBridge bridge(sim);

    run_ = std::make_unique<ProgramRun>(std::vector<std::string>{bridge.slavePath()});
    ASSERT_TRUE(run_->started());
    // The board answers the search after the program's waits.
    ASSERT_TRUE(run_->waitForOutput(" Arduino Left Com: 1 ET", 15s));
    expectToneLightsLampThreeAndTheEndIsDark(bridge);
    std::lock_guard lock(mutex);
    EXPECT_FALSE(lampHistory.empty());
}

// A Nano plugged in while the show runs: its port appears, opening it resets the board, and
// the board joins the show once it has booted and answered.
TEST_F(Nano, ANanoPluggedInMidShowBootsAndJoinsIt) {
    KF_REQUIRE(kftest::serverAnswers(),
               "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
    char tmpl[] = "/tmp/kf-nano.XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const std::string link = (dir / "nano").string();
    run_ = std::make_unique<ProgramRun>(std::vector<std::string>{link});
    ASSERT_TRUE(run_->started());
    ASSERT_TRUE(run_->waitForOutput("offscreen", 15s));
    std::this_thread::sleep_for(3s);  // past the start-up search, which found nothing

    AvrSim sim(elf_, kf::fw::BoardType::ET);
    kf::avrsim::PtyBridge bridge(sim);
    std::filesystem::create_symlink(bridge.slavePath(), link);
    ASSERT_TRUE(run_->waitForOutput("the Arduino board on " + link + " joined on the left", 8s));
    EXPECT_GE(bridge.resetCount(), 2) << "the probe's open and the show's open each reset it";
    expectToneLightsLampThreeAndTheEndIsDark(bridge);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kfe2e
