// Faults the running program has to live through: the audio server dies and comes back,
// boards vanish in the middle of the show, and ports answer rubbish during the search.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "audio/PulseTestSupport.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Kinds.h"
#include "e2e/HeldReplies.h"
#include "e2e/ProgramTest.h"
#include "e2e/Wire.h"
#include "support/Require.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::lampTone;
using kftest::SignalPlayer;

using kf::boardsim::ArduinoBoard;
using kf::boardsim::ArduinoOptions;
using kf::boardsim::ArduinoType;
using kf::boardsim::GarbageOptions;
using kf::boardsim::GarbageSim;
using kf::boardsim::Icp12Board;

ArduinoOptions ofType(ArduinoType type) {
    ArduinoOptions o;
    o.type = type;
    return o;
}

GarbageOptions rubbish(bool flood, std::uint32_t seed) {
    GarbageOptions o;
    o.flood = flood;
    o.bytesPerSecond = 5000;
    o.seed = seed;
    return o;
}

class Faults : public Program {};

// The server is killed under the running program: the frames go on, silent, without a box;
// when the server is back the recording resumes by itself.
TEST_F(Faults, AudioServerKilledAndRestartedFramesGoOnAndRecordingResumes) {
    KF_REQUIRE(kftest::PrivateServer::available(), "the pulseaudio daemon (package pulseaudio)");
    kftest::PrivateServer server({"kf_null"});
    ASSERT_TRUE(server.start()) << server.log();
    Icp12Sim icp;
    start({&icp}, {{"PULSE_SERVER", server.server()}});
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.frameCount > 0; }, 20s));

    auto tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left), server.server());
    ASSERT_TRUE(tone->waitStarted());
    ASSERT_TRUE(icp.waitForState([](const Icp12State& s) { return s.lit() == kLamp3.mask(); }, 10s))
        << icp.summary();

    server.kill();
    tone.reset();
    const auto killedAt = Clock::now();
    // Silent levels within a moment: the lamp goes out.
    EXPECT_TRUE(icp.waitForState([](const Icp12State& s) { return s.lastFrame == 0; }, 2s))
        << icp.summary();
    std::this_thread::sleep_for(killedAt + 1s - Clock::now());
    const Icp12State a = icp.state();
    std::this_thread::sleep_for(2s);
    const Icp12State b = icp.state();
    EXPECT_TRUE(run_->running());
    // About 100 frames a second, each the eight commands of outputs 1 to 8 in order.
    EXPECT_GE(b.frameCount - a.frameCount, 120u);
    EXPECT_LE(b.commandCount - a.commandCount, 8 * (b.frameCount - a.frameCount) + 16);
    EXPECT_EQ(b.lit(), 0);
    EXPECT_EQ(onsBetween(a, b), (std::array<unsigned, 8>{}));

    ASSERT_TRUE(server.start()) << server.log();
    const auto backAt = Clock::now();
    tone = std::make_unique<SignalPlayer>(lampTone(kLamp3, Ear::Left), server.server());
    ASSERT_TRUE(tone->waitStarted());
    // Reconnecting takes up to 2 s, the null sink's first data up to 2 s more.
    EXPECT_TRUE(icp.waitForState([](const Icp12State& s) { return s.lit() == kLamp3.mask(); }, 5s))
        << icp.summary();
    std::cout << "lamp lit again " << std::chrono::duration<double>(Clock::now() - backAt).count()
              << " s after the server's return\n";

    EXPECT_TRUE(run_->running());
    EXPECT_EQ(run_->output().find("Error"), std::string::npos);
    EXPECT_EQ(run_->output().find("error code"), std::string::npos);
    terminate();
    tone.reset();
    expectIcp12LeftDark(icp, "iCP12");
}

// Two boards vanish one after the other: the program keeps its frame rate for the others and
// reports each lost board once.
TEST_F(Faults, BoardsVanishingMidRunLeaveTheOthersTheirFrames) {
    auto icpLeft = std::make_unique<Icp12Sim>();
    auto icpRight = std::make_unique<Icp12Sim>();
    auto et = std::make_unique<ArduinoSim>(ofType(ArduinoType::ET));
    auto al = std::make_unique<ArduinoSim>(ofType(ArduinoType::AL));
    const std::string rightPath = icpRight->slavePath();
    const std::string etPath = et->slavePath();
    start({icpLeft.get(), icpRight.get(), et.get(), al.get()});
    ASSERT_TRUE(al->waitForState([](const ArduinoState& s) { return s.patternCount > 0; }, 30s));
    std::this_thread::sleep_for(500ms);

    const auto rates = [&](Clock::duration d) {
        const unsigned f0 = icpLeft->state().frameCount;
        const unsigned p0 = al->state().patternCount;
        std::this_thread::sleep_for(d);
        const double s = std::chrono::duration<double>(d).count();
        return std::pair{(icpLeft->state().frameCount - f0) / s,
                         (al->state().patternCount - p0) / s};
    };
    const auto [framesBefore, patternsBefore] = rates(1s);

    icpRight.reset();
    ASSERT_TRUE(run_->waitForOutput("the board on COM2 (" + rightPath + ") is gone", 3s));
    std::this_thread::sleep_for(300ms);
    et.reset();
    ASSERT_TRUE(run_->waitForOutput("the board on COM3 (" + etPath + ") is gone", 3s));
    EXPECT_TRUE(run_->running());

    const auto [framesAfter, patternsAfter] = rates(2s);
    EXPECT_GE(framesAfter, 60.0);
    EXPECT_GE(patternsAfter, 60.0);
    EXPECT_GE(framesAfter, 0.7 * framesBefore) << framesBefore << " frames/s before";
    EXPECT_GE(patternsAfter, 0.7 * patternsBefore) << patternsBefore << " patterns/s before";

    const std::string out = run_->output();
    EXPECT_EQ(out.find("COM1 ("), std::string::npos);
    EXPECT_EQ(out.find("COM4 ("), std::string::npos);
    // Each lost board is reported once.
    EXPECT_EQ(out.find("COM2 (", out.find("COM2 (") + 1), std::string::npos);
    EXPECT_EQ(out.find("COM3 (", out.find("COM3 (") + 1), std::string::npos);

    terminate();
    expectIcp12LeftDark(*icpLeft, "iCP12 COM1");
    expectArduinoLeftDark(*al, "AL COM4");
}

// Rubbish on every port at start-up: noise, a flood, answers in pieces and answers too late.
// The search ends in bounded time and takes only the boards that answered properly in time.
TEST_F(Faults, SearchThroughGarbageTakesOnlyRealBoardsInBoundedTime) {
    GarbageSim garbage(rubbish(false, 7));
    GarbageSim flood(rubbish(true, 8));
    // "(ZM" at once, the rest 600 ms later: both within the second the search waits.
    HeldReplySim<Icp12Board> splitIcp12(Icp12Board{}, {{0ms, 3}, {600ms, 0}});
    // The whole answer 1.3 s late: after the read that decides.
    HeldReplySim<Icp12Board> lateIcp12(Icp12Board{}, {{1300ms, 0}});
    // "E", then "T" 400 ms later: the search waits for the second character.
    HeldReplySim<ArduinoBoard> splitEt(ArduinoBoard(ofType(ArduinoType::ET)),
                                       {{0ms, 1}, {400ms, 0}});
    // "TM" 2.6 s after "90/": the search has given up by then.
    HeldReplySim<ArduinoBoard> lateTm(ArduinoBoard(ofType(ArduinoType::TM)), {{2600ms, 0}});
    auto lowerIcp12 = kf::boardsim::makeSim("icp12-lower");
    auto lowerTm = kf::boardsim::makeSim("lower");
    const std::vector<const BoardSim*> all = {&garbage, &flood,  &splitIcp12,      &lateIcp12,
                                              &splitEt, &lateTm, lowerIcp12.get(), lowerTm.get()};
    start(all);

    // The longest any port may take: 1 s for "(ZMD)", 1 s before "90/", 2 s for its answer.
    const auto bound = std::chrono::seconds(4) * all.size() + 3s;
    ASSERT_TRUE(splitIcp12.waitForReceived(std::string_view(kSetUpBytes).size() + 48, bound));
    ASSERT_TRUE(run_->waitForOutput("Arduino Left Com: 5 ET", 1s));
    // The search is over when the last port has been let go.
    ASSERT_TRUE(lowerTm->waitForCloseCount(1, bound));
    const double searchSeconds =
        std::chrono::duration<double>(Clock::now() - run_->startTime()).count();
    std::cout << "search over after " << searchSeconds << " s\n";
    EXPECT_LT(searchSeconds, std::chrono::duration<double>(bound).count());

    std::this_thread::sleep_for(500ms);
    int found = 0;
    for (const auto& line : run_->outputLines()) {
        found += line.find("Com: ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(found, 2) << run_->output();
    EXPECT_TRUE(run_->output().find("kleurflits-stereo:  iCP12 Left on Com: 3\n") !=
                std::string::npos);
    EXPECT_TRUE(run_->output().find("kleurflits-stereo:  Arduino Left Com: 5 ET\n") !=
                std::string::npos);

    // Every port that holds no board heard the two questions only and was let go.
    const std::vector<const BoardSim*> noBoards = {&garbage, &flood,           &lateIcp12,
                                                   &lateTm,  lowerIcp12.get(), lowerTm.get()};
    for (const BoardSim* s : noBoards) {
        SCOPED_TRACE(s->slavePath());
        EXPECT_EQ(s->received(), "(ZMD)90/");
        EXPECT_FALSE(s->programHasOpen());
        EXPECT_EQ(s->openCount(), 1);
    }
    // The two real boards get their frames.
    const unsigned frames = splitIcp12.state().frameCount;
    const unsigned patterns = splitEt.state().patternCount;
    std::this_thread::sleep_for(1s);
    EXPECT_GE(splitIcp12.state().frameCount - frames, 50u);
    EXPECT_GE(splitEt.state().patternCount - patterns, 50u);
    EXPECT_EQ(splitIcp12.violationCount(), 0u) << testing::PrintToString(splitIcp12.violations());
    EXPECT_EQ(splitEt.violationCount(), 0u) << testing::PrintToString(splitEt.violations());

    terminate();
    EXPECT_EQ(splitIcp12.state().lit(), 0);
    EXPECT_EQ(splitEt.state().pattern, 0);
    EXPECT_TRUE(splitEt.received().ends_with("1/0/"));
}

// SIGTERM while the program is still starting, before its window exists: it ends as the
// Close button would, with status 0, rather than being killed. The first line it prints comes
// right after Qt has started, well before the window; before main() runs (the loader's few
// milliseconds) nothing of the program's own can take a signal.
TEST_F(Faults, SigtermWhileStartingEndsCleanly) {
    for (const auto after : {0ms, 20ms, 60ms}) {
        start({}, {{"QT_QPA_PLATFORM", "offscreen"}});
        ASSERT_TRUE(run_->waitForOutput("running on Qt's offscreen platform", 10s));
        std::this_thread::sleep_for(after);
        terminate();
        if (HasFailure()) {
            ADD_FAILURE() << "SIGTERM " << after.count() << " ms after Qt started";
            return;
        }
    }
}

}  // namespace
}  // namespace kfe2e
