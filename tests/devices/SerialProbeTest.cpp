#include "devices/SerialProbe.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <optional>

#include "boardsim/ArduinoSim.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"

namespace kf {
namespace {

using namespace std::chrono_literals;
using boardsim::ArduinoOptions;
using boardsim::ArduinoSim;
using boardsim::ArduinoType;

// Probes COM 1 (the simulator's pseudo-terminal) in a real event loop, with a 10 ms timer
// standing in for the frames; records the longest gap between two frames.
class Probe : public ::testing::Test {
  protected:
    Timing timing;
    std::optional<SerialProbe::Result> result;
    qint64 longestGapMs = 0;
    qint64 tookMs = 0;

    void SetUp() override {
        timing.icp12ReplyWait = 300ms;
        timing.arduinoProbeWait = 200ms;
        timing.arduinoReplyBound = 400ms;
    }

    void probe(const std::string& path) {
        ComPorts ports({path});
        SerialProbe probe(ports, 1, timing);
        QEventLoop loop;
        QTimer frames;
        frames.setTimerType(Qt::PreciseTimer);
        frames.setInterval(10);
        QElapsedTimer sinceFrame, clock;
        QObject::connect(&frames, &QTimer::timeout,
                         [&] { longestGapMs = std::max(longestGapMs, sinceFrame.restart()); });
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);  // a hung probe fails below
        clock.start();
        sinceFrame.start();
        frames.start();
        probe.start([&](const SerialProbe::Result& r) {
            result = r;
            tookMs = clock.elapsed();
            // A few more frames, so that a stall just before the end is measured too.
            QTimer::singleShot(50, &loop, &QEventLoop::quit);
        });
        EXPECT_TRUE(probe.running());
        loop.exec();
        EXPECT_FALSE(probe.running());
    }
};

TEST_F(Probe, FindsAnIcp12AndSendsItsSetUpCommandsAfterTheReplyWait) {
    boardsim::Icp12Sim board;
    probe(board.slavePath());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->found, SerialProbe::Found::Icp12);
    EXPECT_GE(tookMs, 300);
    EXPECT_TRUE(board.waitForReceived(5 + 48, 1s));
    EXPECT_EQ(board.received(), "(ZMD)(RA0o)(RA1o)(RA2o)(RA3o)(RA5o)(RB0o)(RB1o)(RB2o)");
    EXPECT_TRUE(board.waitForCloseCount(1, 1s)) << "the probe leaves the port closed";
}

TEST_F(Probe, FindsAnArduinoAfterTheResetWaitWithItsTypeCode) {
    ArduinoOptions o;
    o.type = ArduinoType::AL;
    o.bootDelay = 150ms;  // the reset on opening: "(ZMD)" falls into it
    ArduinoSim board(o);
    probe(board.slavePath());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->found, SerialProbe::Found::Arduino);
    EXPECT_EQ(result->typeCode, "AL");
    EXPECT_GE(tookMs, 500);
    EXPECT_NE(board.received().find("90/"), std::string::npos);
    EXPECT_TRUE(board.waitForCloseCount(1, 1s));
}

TEST_F(Probe, SilenceGarbageAndAFloodAreGivenUpWithinTheBound) {
    boardsim::SilentSim silent;
    boardsim::GarbageSim garbage;
    boardsim::GarbageOptions floodOptions;
    floodOptions.flood = true;
    floodOptions.bytesPerSecond = 20000;
    boardsim::GarbageSim flood(floodOptions);
    for (const boardsim::BoardSim* board :
         std::initializer_list<const boardsim::BoardSim*>{&silent, &garbage, &flood}) {
        result.reset();
        probe(board->slavePath());
        ASSERT_TRUE(result.has_value()) << board->summary();
        EXPECT_EQ(result->found, SerialProbe::Found::Nothing) << board->summary();
        EXPECT_LE(tookMs, 300 + 200 + 400 + 500) << board->summary();
    }
}

TEST_F(Probe, APortThatCannotBeOpenedHoldsNothingAndIsReportedLater) {
    probe("/nonexistent/kleurflits-tty");
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->found, SerialProbe::Found::Nothing);
}

TEST_F(Probe, FramesGoOnEveryTenMillisecondsWhileAPortIsProbed) {
    boardsim::SilentSim silent;  // the longest exchange: every wait runs out
    probe(silent.slavePath());
    ASSERT_TRUE(result.has_value());
    // Far below any of the waits (300 ms and more), far above a busy machine's scheduling.
    EXPECT_LE(longestGapMs, 150) << "a probe step held up the event loop";
}

}  // namespace
}  // namespace kf
