// Each board kind's part of a frame: its bytes, exactly, and the one "latest frame wins" rule
// on a real line: a frame the board cannot take yet is skipped whole.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "devices/Arduino.h"
#include "devices/ArduinoOutput.h"
#include "devices/BoardRegistry.h"
#include "devices/Icp12Output.h"
#include "devices/Pty.h"
#include "devices/SerialPortControl.h"
#include "devices/iCP12.h"

namespace kf {
namespace {

using namespace std::chrono_literals;

TEST(FrameBytes, Icp12CommandsSwitchOutputsOneToEightInTurn) {
    EXPECT_EQ(iCP12::frameCommands(0b1000'0101),
              "(RA01)(RA10)(RA21)(RA30)(RA50)(RB00)(RB10)(RB21)");
    EXPECT_EQ(iCP12::frameCommands(0), "(RA00)(RA10)(RA20)(RA30)(RA50)(RB00)(RB10)(RB20)");
    EXPECT_EQ(iCP12::frameCommands(0xFF), "(RA01)(RA11)(RA21)(RA31)(RA51)(RB01)(RB11)(RB21)");
    EXPECT_EQ(iCP12::frameCommands(0b0001'0000), "(RA00)(RA10)(RA20)(RA30)(RA51)(RB00)(RB10)(RB20)")
        << "output 5 is RA5: the iCP12 has no RA4 output";
}

TEST(FrameBytes, ArduinoMessagesFollowTheBoardType) {
    EXPECT_EQ(Arduino::frameMessages("ET", 5, 9, false), "1/5/");
    EXPECT_EQ(Arduino::frameMessages("ET", 5, 9, true), "1/5/") << "V1.3 is the TM's alone";
    EXPECT_EQ(Arduino::frameMessages("AL", 37, 3, false), "1/37/4/3/");
    EXPECT_EQ(Arduino::frameMessages("AL", 255, 0, false), "1/255/") << "no peak, no message";
    EXPECT_EQ(Arduino::frameMessages("TM", 5, 9, false), "1/5/");
    EXPECT_EQ(Arduino::frameMessages("TM", 0, 0, true), "1/0/4/0/");
    EXPECT_EQ(Arduino::frameMessages("XX", 5, 9, true), "");
    EXPECT_EQ(Arduino::frameMessages("", 5, 9, false), "");
}

// A board on a pseudo-terminal read as fast as it comes: only the line's speed holds a frame.
class LatestFrameWins : public ::testing::Test {
  protected:
    test::Pty line;
    ComPorts ports{{line.path()}};
    SharedState state;

    void SetUp() override {
        kf::BoardRegistry::setPort(state, kf::BoardKind::Icp12, Rechts, 1);
        state.ICP12Active = true;
        kf::BoardRegistry::setPort(state, kf::BoardKind::Arduino, Links, 1);
        state.ArduinoActive(Links) = true;
        kf::BoardRegistry::setArduinoType(state, Links, "ET");
    }
};

// 1200 baud: a frame's 48 characters take the line 420 ms, though the pseudo-terminal takes
// them at once and reports nothing queued.
TEST_F(LatestFrameWins, ASlowIcp12LineTakesAFrameOnlyOnceTheLastHadTimeToGo) {
    SerialPortControl port(ports, 1200);
    port.setCommPort(1);
    ASSERT_TRUE(port.setPortOpen(true));
    Icp12Output board(state, Rechts, port);
    const auto lineHolds = [&](std::int64_t most) {
        const auto deadline = std::chrono::steady_clock::now() + 2s;
        while (port.lineBacklog() > most && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        return port.lineBacklog() <= most;
    };
    // A frame that comes while the last is still on the line is skipped whole. Only a frame
    // that came well within the line's time shows it: a machine that stalls the test longer
    // tries again.
    bool skipSeen = false;
    for (int attempt = 0; attempt < 5 && !skipSeen; ++attempt) {
        ASSERT_TRUE(lineHolds(0));
        const auto start = std::chrono::steady_clock::now();
        state.LedPattern(Rechts) = 0b11;
        board.take(LampFrame::of(state));
        EXPECT_EQ(line.read(48, 2s), iCP12::frameCommands(0b11));
        state.LedPattern(Rechts) = 0b111;
        board.take(LampFrame::of(state));
        const bool early = std::chrono::steady_clock::now() - start < 150ms;
        const std::string more = line.readUntilQuiet(10ms);
        if (early) {
            EXPECT_EQ(more, "");
            skipSeen = true;
        }
    }
    EXPECT_TRUE(skipSeen);
    // With at most half a frame left the next one starts out.
    ASSERT_TRUE(lineHolds(24));
    board.take(LampFrame::of(state));
    EXPECT_EQ(line.read(48, 2s), iCP12::frameCommands(0b111));
    EXPECT_EQ(port.droppedWrites(), 0U) << "skipped whole, never cut";
}

TEST_F(LatestFrameWins, AnArduinoLinkTakesEveryFrameItsSpeedCarries) {
    SerialPortControl port(ports, 115200);
    port.setCommPort(1);
    ASSERT_TRUE(port.setPortOpen(true));
    ArduinoOutput board(state, Links, port);
    kf::BoardRegistry::setArduinoType(state, Links, "AL");
    state.LedPattern(Links) = 255;
    state.PeakLinks = 255;
    // Twice at once: the twelve characters of the first take the line a millisecond, so the
    // second frame is skipped whole.
    board.take(LampFrame::of(state));
    board.take(LampFrame::of(state));
    EXPECT_EQ(line.readUntilQuiet(30ms), "1/255/4/255/");
    // Ten milliseconds later, as the next frame comes: carried long ago.
    state.LedPattern(Links) = 7;
    state.PeakLinks = 0;
    board.take(LampFrame::of(state));
    EXPECT_EQ(line.read(4, 500ms), "1/7/");
}

}  // namespace
}  // namespace kf
