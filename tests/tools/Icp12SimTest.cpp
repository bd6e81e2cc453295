#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProgramPort.h"
#include "boardsim/Escape.h"
#include "boardsim/Icp12Sim.h"

namespace kf::boardsim {
namespace {

using namespace std::chrono_literals;
using test::ProgramPort;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string kSetUp = "(RA0o)(RA1o)(RA2o)(RA3o)(RA5o)(RB0o)(RB1o)(RB2o)";

// The eight commands of one frame, output 1 first.
std::string frame(std::uint8_t lit) {
    static const char* pins[] = {"RA0", "RA1", "RA2", "RA3", "RA5", "RB0", "RB1", "RB2"};
    std::string out;
    for (int i = 0; i < 8; ++i) {
        out += std::string("(") + pins[i] + ((lit >> i) & 1 ? "1)" : "0)");
    }
    return out;
}

// Writes and waits until the simulator has taken all of it in.
void send(ProgramPort& port, const BoardSim& sim, std::string_view bytes) {
    std::size_t before = sim.receivedCount();
    port.write(bytes);
    ASSERT_TRUE(sim.waitForReceived(before + bytes.size(), 2s));
}

TEST(Icp12Identify, AnswersZmdWithTheDefaultReply) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    port.write("(ZMD)");
    std::string reply = port.readAtLeast(14, 2s);
    EXPECT_EQ(reply, "(ZMD iCP12 v1)");
    EXPECT_EQ(sim.state().identifyCount, 1u);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(Icp12Identify, SendsTheConfiguredReplyEvenInLowerCase) {
    for (std::string configured : {"zmd", "boot ok ZMD ready"}) {
        Icp12Options options;
        options.identifyReply = configured;
        Icp12Sim sim(options);
        ProgramPort port(sim.slavePath());
        port.write("(ZMD)");
        EXPECT_EQ(port.readAtLeast(configured.size(), 2s), configured);
    }
}

TEST(Icp12Identify, IdentifyRequestSplitOverWritesIsStillAnswered) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    for (char c : std::string("(ZMD)")) {
        send(port, sim, std::string(1, c));
    }
    EXPECT_THAT(port.readAtLeast(14, 2s), HasSubstr("ZMD"));
}

TEST(Icp12Outputs, SetUpThenFrameLightsTheOutputsOfThatFrame) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, kSetUp);
    send(port, sim, frame(0b0000'0111));
    Icp12State state = sim.state();
    EXPECT_EQ(state.lit(), 0b0000'0111);
    EXPECT_EQ(state.frameCount, 1u);
    EXPECT_EQ(state.lastFrame, 0b0000'0111);
    EXPECT_EQ(state.onCount[0], 1u);
    EXPECT_EQ(state.offCount[7], 1u);
    EXPECT_EQ(state.setUpCount[4], 1u);
    EXPECT_EQ(state.commandCount, 16u);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(Icp12Outputs, OutputFiveIsPinRa5AndEveryOutputMapsToItsOwnBit) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, kSetUp);
    for (int output = 1; output <= 8; ++output) {
        std::string on = std::string("(") + icp12Pin(output) + "1)";
        send(port, sim, on);
        EXPECT_EQ(sim.state().lit(), 1u << (output - 1)) << on;
        send(port, sim, std::string("(") + icp12Pin(output) + "0)");
    }
    EXPECT_STREQ(icp12Pin(5), "RA5");
    EXPECT_EQ(sim.state().lit(), 0);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(Icp12Outputs, LaterFramesReplaceTheStateAndAreCounted) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, kSetUp + frame(0xff) + frame(0x00) + frame(0b1000'0001));
    Icp12State state = sim.state();
    EXPECT_EQ(state.frameCount, 3u);
    EXPECT_EQ(state.lastFrame, 0b1000'0001);
    EXPECT_EQ(state.lit(), 0b1000'0001);
    EXPECT_EQ(state.switchCount(), 24u);
}

TEST(Icp12Outputs, CommandsOutOfOrderDoNotMakeAFrame) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    std::string shuffled = frame(0xff);
    std::swap_ranges(shuffled.begin(), shuffled.begin() + 6, shuffled.begin() + 6);
    send(port, sim, kSetUp + shuffled);
    EXPECT_EQ(sim.state().frameCount, 0u);
    EXPECT_EQ(sim.state().lit(), 0xff);
}

TEST(Icp12Outputs, WaitForStateSeesTheFrameArrive) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    port.write(kSetUp + frame(0b0101'0101));
    EXPECT_TRUE(sim.waitForState([](const Icp12State& s) { return s.frameCount == 1; }, 2s));
    EXPECT_EQ(sim.state().lastFrame, 0b0101'0101);
}

TEST(Icp12Outputs, SwitchReplyIsSentAfterEachOnOffCommand) {
    Icp12Options options;
    options.switchReply = "k";
    Icp12Sim sim(options);
    ProgramPort port(sim.slavePath());
    port.write(kSetUp + frame(0x0f));
    EXPECT_EQ(port.readAtLeast(8, 2s), "kkkkkkkk");
}

TEST(Icp12Violations, SwitchBeforeSetUpIsFlaggedAndDoesNotLight) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, "(RA01)");
    ASSERT_TRUE(sim.waitForViolations(1, 2s));
    EXPECT_THAT(sim.violations()[0], HasSubstr("output 1 switched before its set-up"));
    EXPECT_EQ(sim.state().lit(), 0);
    // Once set up, the output shows the latched command, and switching is no fault any more.
    send(port, sim, "(RA0o)(RA01)");
    EXPECT_EQ(sim.state().lit(), 0b1);
    EXPECT_EQ(sim.violationCount(), 1u);
}

TEST(Icp12Violations, SetUpOfOneOutputDoesNotCoverAnother) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, "(RA0o)(RA11)");
    ASSERT_EQ(sim.violationCount(), 1u);
    EXPECT_THAT(sim.violations()[0], HasSubstr("output 2"));
}

struct BadInput {
    std::string bytes;
    std::string expected;
};

void PrintTo(const BadInput& bad, std::ostream* out) {
    *out << '"' << escaped(bad.bytes) << '"';
}

class Icp12BadInput : public ::testing::TestWithParam<BadInput> {};

TEST_P(Icp12BadInput, IsFlaggedAndTheNextCommandStillWorks) {
    Icp12Sim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, "(RA0o)" + GetParam().bytes + "(RA01)");
    ASSERT_GE(sim.violationCount(), 1u);
    EXPECT_THAT(sim.violations()[0], HasSubstr(GetParam().expected));
    EXPECT_EQ(sim.state().lit(), 0b1) << "did not resynchronise";
    EXPECT_EQ(sim.state().onCount[0], 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Icp12Violations, Icp12BadInput,
    ::testing::Values(BadInput{"(RA41)", "unknown pin RA4"}, BadInput{"(RA4o)", "unknown pin RA4"},
                      BadInput{"(RB31)", "unknown pin RB3"}, BadInput{"(RC01)", "malformed"},
                      BadInput{"(RA0x)", "malformed"}, BadInput{"(RA08)", "malformed"},
                      BadInput{"(ra01)", "malformed"}, BadInput{"(zmd)", "malformed"},
                      BadInput{"()", "malformed"}, BadInput{"(RA011)", "too long"},
                      BadInput{"(RA0", "no closing"}, BadInput{"x", "stray"},
                      BadInput{"RA01)", "stray"}, BadInput{"9/", "stray"},
                      BadInput{std::string("\0\xff", 2), "stray"}));

TEST(Icp12Violations, ArduinoProbeIsToleratedUnlessTurnedOff) {
    {
        Icp12Sim sim;
        ProgramPort port(sim.slavePath());
        send(port, sim, "90/(RA0o)");
        EXPECT_EQ(sim.state().probeCount, 1u);
        EXPECT_EQ(sim.violationCount(), 0u);
    }
    Icp12Options strict;
    strict.tolerateArduinoProbe = false;
    Icp12Sim sim(strict);
    ProgramPort port(sim.slavePath());
    send(port, sim, "90/(RA0o)");
    EXPECT_GE(sim.violationCount(), 1u);
    EXPECT_EQ(sim.state().setUpCount[0], 1u);
}

TEST(Icp12Violations, CommandCutOffByCloseIsFlagged) {
    Icp12Sim sim;
    {
        ProgramPort port(sim.slavePath());
        send(port, sim, "(RA0o)(RA0");
    }
    ASSERT_TRUE(sim.waitForCloseCount(1, 2s));
    ASSERT_EQ(sim.violationCount(), 1u);
    EXPECT_THAT(sim.violations()[0], HasSubstr("incomplete command at close"));
    // The next session starts clean: "1)" is no continuation of the old command.
    ProgramPort again(sim.slavePath());
    send(again, sim, "(RA01)");
    EXPECT_EQ(sim.state().lit(), 0b1);
    EXPECT_EQ(sim.violationCount(), 1u);
}

}  // namespace
}  // namespace kf::boardsim
