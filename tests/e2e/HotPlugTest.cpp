// Boards plugged in, pulled out and put back while the real program runs: serial boards behind
// links that appear and vanish (as KLEURFLITS_SERIAL_PORTS names them), and K8055 boards on
// hidraw nodes of umockdev's test bed, which the real hidapi library opens. The test and the
// program run under umockdev-wrapper.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "audio/PulseTestSupport.h"
#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/MockDevices.h"
#include "support/MockK8055.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::lampTone;
using kftest::SignalPlayer;

namespace fs = std::filesystem;

class HotPlug : public Program {
  protected:
    fs::path dir;
    kftest::MockDevices devices;
    kftest::MockK8055 cards{devices};

    void SetUp() override {
        char tmpl[] = "/tmp/kf-hotplug.XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    void TearDown() override {
        Program::TearDown();
        run_.reset();  // the program holds the cards' nodes until it has ended
        fs::remove_all(dir);
    }
    std::string port(const std::string& name) const { return (dir / name).string(); }
    void plug(const std::string& name, const BoardSim& sim) {
        fs::remove(port(name));
        fs::create_symlink(sim.slavePath(), port(name));
    }
    void pull(const std::string& name) { fs::remove(port(name)); }
    template <class Pred>
    bool waitUntil(Pred pred, Clock::duration timeout) {
        const auto end = Clock::now() + timeout;
        while (!pred()) {
            if (Clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    // When `text` first appeared in the program's output, looked for every 5 ms.
    std::optional<Clock::time_point> whenPrinted(const std::string& text, Clock::duration limit) {
        if (!waitUntil([&] { return run_->output().find(text) != std::string::npos; }, limit)) {
            return std::nullopt;
        }
        return Clock::now();
    }
    static double ms(Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    }
};

TEST_F(HotPlug, BoardsPluggedInPulledOutAndPutBackWhileTheShowRuns) {
    KF_REQUIRE(kftest::underUmockdev(), "umockdev's preload (run under umockdev-wrapper)");
    KF_REQUIRE(kftest::serverAnswers(),
               "a sound server (" << kftest::pulseServerDescription() << ")");
    auto icp = std::make_unique<Icp12Sim>();
    plug("com1", *icp);
    run_ = std::make_unique<ProgramRun>(std::vector<std::string>{port("com1"), port("com2")});
    ASSERT_TRUE(run_->started());
    ASSERT_TRUE(icp->waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 30s))
        << icp->summary();

    // An Arduino TM plugged in later (it resets as its port opens) joins the left Arduino side;
    // the iCP12 keeps its frames every 10 ms while the new port is probed.
    kf::boardsim::ArduinoOptions o;
    o.type = kf::boardsim::ArduinoType::TM;
    o.bootDelay = 500ms;
    auto tm = std::make_unique<ArduinoSim>(o);
    const std::size_t chunksBefore = icp->chunkCount();
    const auto plugged = Clock::now();
    plug("com2", *tm);
    const auto joined =
        whenPrinted("the Arduino board on " + port("com2") + " joined on the left", 6s);
    ASSERT_TRUE(joined.has_value());
    std::cout << "[ hotplug  ] the TM board joined " << ms(*joined - plugged)
              << " ms after its port appeared\n";
    // Looked at once a second, then the search's exchange: 1 s for "(ZMD)", 1 s of reset;
    // the margin is for a busy machine.
    EXPECT_LE(ms(*joined - plugged), 4000.0);
    const auto chunks = icp->chunks(chunksBefore);
    ASSERT_GT(chunks.size(), 100U);
    double longestGap = 0;
    for (std::size_t i = 1; i < chunks.size(); ++i) {
        longestGap = std::max(longestGap, ms(chunks[i].time - chunks[i - 1].time));
    }
    std::cout << "[ hotplug  ] longest gap between iCP12 frames during the probe: " << longestGap
              << " ms\n";
    // A probe that held up the frames would stall them for one of its waits, a second; the
    // 30 ms goal for an undisturbed machine is measured by scripts/bench --hotplug.
    EXPECT_LE(longestGap, 150.0);
    // Its side name, then after the text's pause its patterns.
    ASSERT_TRUE(tm->waitForState([](const ArduinoState& s) { return s.text == "LEFT"; }, 5s))
        << tm->summary();
    const unsigned atText = tm->state().patternCount;
    ASSERT_TRUE(
        tm->waitForState([&](const ArduinoState& s) { return s.patternCount > atText + 20; }, 5s))
        << tm->summary();

    // The iCP12 pulled out: it shows absent and the TM board keeps its frames.
    pull("com1");
    icp.reset();
    ASSERT_TRUE(whenPrinted("is gone", 3s).has_value());
    const unsigned patterns = tm->state().patternCount;
    std::this_thread::sleep_for(300ms);
    EXPECT_GE(tm->state().patternCount, patterns + 20) << "the others go on";

    // Put back on the same path: back on the left within 3 s, set up again.
    icp = std::make_unique<Icp12Sim>();
    const auto putBack = Clock::now();
    plug("com1", *icp);
    const auto back =
        whenPrinted("the iCP12 board on " + port("com1") + " is back on the left", 5s);
    ASSERT_TRUE(back.has_value());
    std::cout << "[ hotplug  ] the iCP12 was back " << ms(*back - putBack)
              << " ms after its port reappeared\n";
    EXPECT_LE(ms(*back - putBack), 3500.0);
    ASSERT_TRUE(icp->waitForState([](const Icp12State& s) { return s.frameCount > 10; }, 3s));
    EXPECT_TRUE(icp->received().starts_with(kSetUpBytes)) << icp->received().substr(0, 80);

    // A K8055 plugged in joins the left K8055 side; its writes fail when it is pulled out, and
    // it is written again once it is back.
    const auto enough = [](const std::vector<int>& r) { return r.size() > 10; };
    cards.plug(0, "hidraw0", 1);
    ASSERT_TRUE(whenPrinted("Velleman Left CardNr. 0", 4s).has_value());
    ASSERT_TRUE(cards.waitForReports("hidraw0", enough, 3s));
    cards.pull("/dev/hidraw0");
    ASSERT_TRUE(whenPrinted("K8055 card 0 (left) is gone", 3s).has_value());
    cards.plug(0, "hidraw1", 2);
    ASSERT_TRUE(whenPrinted("K8055 card 0 (left) is back", 4s).has_value());
    ASSERT_TRUE(cards.waitForReports("hidraw1", enough, 3s));

    // A left tone lights lamp 3 (band 4) on every left board.
    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left));
    ASSERT_TRUE(tone->waitStarted());
    EXPECT_TRUE(
        icp->waitForState([](const Icp12State& s) { return s.lit() == kLamp3.mask(); }, 10s))
        << icp->summary();
    EXPECT_TRUE(tm->waitForState(
        [](const ArduinoState& s) { return s.pattern == std::optional<int>(kLamp3.mask()); }, 3s))
        << tm->summary();
    EXPECT_TRUE(cards.waitForReports(
        "hidraw1",
        [](const std::vector<int>& r) { return !r.empty() && r.back() == kLamp3.mask(); }, 3s));

    // The frames kept their rate.
    const unsigned frames = icp->state().frameCount;
    std::this_thread::sleep_for(1s);
    EXPECT_GE(icp->state().frameCount, frames + 90);

    // SIGTERM leaves every board dark.
    terminate();
    tone.reset();
    expectIcp12LeftDark(*icp, "iCP12");
    expectTmSaidGoodbye(*tm, "TM");
    expectArduinoLeftDark(*tm, "TM");
    const auto last = cards.reports("hidraw1");
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), 0) << "the K8055's last report";
}

}  // namespace
}  // namespace kfe2e
