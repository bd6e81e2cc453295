#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProgramPort.h"
#include "boardsim/ArduinoSim.h"
#include "boardsim/Escape.h"

namespace kf::boardsim {
namespace {

using namespace std::chrono_literals;
using test::ProgramPort;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

void send(ProgramPort& port, const BoardSim& sim, std::string_view bytes) {
    std::size_t before = sim.receivedCount();
    port.write(bytes);
    ASSERT_TRUE(sim.waitForReceived(before + bytes.size(), 2s));
}

ArduinoOptions ofType(ArduinoType type) {
    ArduinoOptions options;
    options.type = type;
    return options;
}

class ArduinoIdentify : public ::testing::TestWithParam<ArduinoType> {};

TEST_P(ArduinoIdentify, AnswersWithItsTypeCodeFirst) {
    ArduinoOptions options = ofType(GetParam());
    options.identifyExtra = " V1 ready";
    ArduinoSim sim(options);
    ProgramPort port(sim.slavePath());
    port.write("90/");
    std::string expected = std::string(arduinoCode(GetParam())) + " V1 ready";
    EXPECT_EQ(port.readAtLeast(expected.size(), 2s), expected);
    EXPECT_EQ(sim.state().identifyCount, 1u);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(AllTypes, ArduinoIdentify,
                         ::testing::Values(ArduinoType::ET, ArduinoType::AL, ArduinoType::TM),
                         [](const auto& info) { return std::string(arduinoCode(info.param)); });

TEST(ArduinoIdentifyReply, LowerCaseBoardAnswersExactlyItsReply) {
    ArduinoOptions options;
    options.identifyReply = "tm";
    ArduinoSim sim(options);
    ProgramPort port(sim.slavePath());
    port.write("90/");
    EXPECT_EQ(port.readAtLeast(2, 2s), "tm");
}

TEST(ArduinoIdentifyReply, IcpProbeBeforeTheRequestIsNoFault) {
    ArduinoSim sim(ofType(ArduinoType::ET));
    ProgramPort port(sim.slavePath());
    port.write("(ZMD)");
    port.write("90/");
    EXPECT_EQ(port.readAtLeast(2, 2s), "ET");
    EXPECT_EQ(sim.state().probeCount, 1u);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(ArduinoBoot, IsDeafUntilTheBootDelayHasPassed) {
    ArduinoOptions options;
    options.bootDelay = 400ms;
    ArduinoSim sim(options);
    ProgramPort port(sim.slavePath());
    ASSERT_TRUE(sim.waitForOpenCount(1, 2s));
    send(port, sim, "90/");
    EXPECT_EQ(port.readFor(200ms), "");
    ArduinoState state = sim.state();
    EXPECT_EQ(state.bootDropped, 3u);
    EXPECT_EQ(state.identifyCount, 0u);
    ASSERT_TRUE(state.bootUntil.has_value());
    std::this_thread::sleep_until(*state.bootUntil + 20ms);
    port.write("90/");
    EXPECT_EQ(port.readAtLeast(2, 2s), "TM");
}

TEST(ArduinoBoot, ReopeningThePortRestartsTheBoot) {
    ArduinoOptions options;
    options.bootDelay = 300ms;
    ArduinoSim sim(options);
    Clock::time_point firstBootEnd;
    {
        ProgramPort port(sim.slavePath());
        ASSERT_TRUE(sim.waitForOpenCount(1, 2s));
        firstBootEnd = *sim.state().bootUntil;
    }
    ASSERT_TRUE(sim.waitForCloseCount(1, 2s));
    std::this_thread::sleep_until(firstBootEnd + 20ms);
    ProgramPort port(sim.slavePath());
    ASSERT_TRUE(sim.waitForOpenCount(2, 2s));
    EXPECT_GT(*sim.state().bootUntil, firstBootEnd);
    send(port, sim, "90/");
    EXPECT_EQ(port.readFor(150ms), "");
    EXPECT_EQ(sim.state().bootDropped, 3u);
}

TEST(ArduinoMessages, BackToBackMessagesInOneWriteAreAllParsed) {
    ArduinoSim sim(ofType(ArduinoType::AL));
    ProgramPort port(sim.slavePath());
    send(port, sim, "1/7/4/2/");
    ArduinoState state = sim.state();
    EXPECT_EQ(state.pattern, 7);
    EXPECT_EQ(state.peak, 2);
    ASSERT_EQ(state.messages.size(), 2u);
    EXPECT_EQ(state.messages[0].command, 1);
    EXPECT_EQ(state.messages[0].argument, "7");
    EXPECT_EQ(state.messages[1].command, 4);
    EXPECT_EQ(state.messages[1].argument, "2");
    EXPECT_TRUE(state.messages[0].valid && state.messages[1].valid);
    EXPECT_LE(state.messages[0].time, state.messages[1].time);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(ArduinoMessages, MessagesSplitByteByByteAreParsedTheSame) {
    ArduinoSim sim;
    ProgramPort port(sim.slavePath());
    for (char c : std::string("1/255/4/0/9/   RIGHT/1/0/")) {
        send(port, sim, std::string(1, c));
    }
    ArduinoState state = sim.state();
    EXPECT_EQ(state.pattern, 0);
    EXPECT_EQ(state.peak, 0);
    EXPECT_EQ(state.text, "   RIGHT");
    EXPECT_EQ(state.patternCount, 2u);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(ArduinoMessages, TextIsEverythingUpToTheNextSlashBlanksIncluded) {
    ArduinoSim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, "9/-  OFF -/");
    EXPECT_EQ(sim.state().text, "-  OFF -");
    send(port, sim, "9/ in out /");
    EXPECT_EQ(sim.state().text, " in out ");
    send(port, sim, "9//");
    EXPECT_EQ(sim.state().text, "");
    EXPECT_EQ(sim.state().textCount, 3u);
    EXPECT_THAT(sim.violations(), IsEmpty());
}

TEST(ArduinoMessages, StateIsUnsetUntilTheFirstMessage) {
    ArduinoSim sim;
    ProgramPort port(sim.slavePath());
    send(port, sim, "1/3/");
    ArduinoState state = sim.state();
    EXPECT_EQ(state.pattern, 3);
    EXPECT_FALSE(state.peak.has_value());
    EXPECT_FALSE(state.text.has_value());
}

TEST(ArduinoMessages, WaitForStateSeesAPatternArrive) {
    ArduinoSim sim(ofType(ArduinoType::ET));
    ProgramPort port(sim.slavePath());
    port.write("1/128/");
    EXPECT_TRUE(sim.waitForState([](const ArduinoState& s) { return s.pattern == 128; }, 2s));
}

struct BadMessage {
    ArduinoType type;
    std::string bytes;
    std::string expected;
};

void PrintTo(const BadMessage& bad, std::ostream* out) {
    *out << arduinoCode(bad.type) << " \"" << escaped(bad.bytes) << '"';
}

class ArduinoBadMessage : public ::testing::TestWithParam<BadMessage> {};

TEST_P(ArduinoBadMessage, IsFlaggedLeavesStateAndTheNextMessageWorks) {
    const BadMessage& bad = GetParam();
    ArduinoSim sim(ofType(bad.type));
    ProgramPort port(sim.slavePath());
    send(port, sim, "1/9/" + bad.bytes + "1/5/");
    ASSERT_GE(sim.violationCount(), 1u) << bad.bytes;
    EXPECT_THAT(sim.violations()[0], HasSubstr(bad.expected));
    ArduinoState state = sim.state();
    EXPECT_EQ(state.pattern, 5) << "did not resynchronise";
    EXPECT_FALSE(state.peak.has_value());
    EXPECT_FALSE(state.text.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    ArduinoViolations, ArduinoBadMessage,
    ::testing::Values(BadMessage{ArduinoType::TM, "x/", "not a decimal number"},
                      BadMessage{ArduinoType::TM, "-1/", "not a decimal number"},
                      BadMessage{ArduinoType::TM, " 1/", "not a decimal number"},
                      BadMessage{ArduinoType::TM, "/", "empty field"},
                      BadMessage{ArduinoType::TM, "7/", "unknown command"},
                      BadMessage{ArduinoType::TM, "91/", "unknown command"},
                      BadMessage{ArduinoType::TM, "01/", "leading zero"},
                      BadMessage{ArduinoType::TM, "1/256/", "above 255"},
                      BadMessage{ArduinoType::TM, "1/1000/", "above 255"},
                      BadMessage{ArduinoType::TM, "4/07/", "leading zero"},
                      BadMessage{ArduinoType::TM, "4/00/", "leading zero"},
                      BadMessage{ArduinoType::TM, "4//", "empty field"},
                      BadMessage{ArduinoType::TM, "4/2 /", "not a decimal number"},
                      BadMessage{ArduinoType::TM, "9/ABCDEFGHI/", "longer than 8"},
                      BadMessage{ArduinoType::ET, "4/1/", "peak message to an ET board"},
                      BadMessage{ArduinoType::ET, "9/LEFT/", "text message to an ET board"},
                      BadMessage{ArduinoType::AL, "9/LEFT/", "text message to an AL board"},
                      BadMessage{ArduinoType::TM, std::string(100, '7') + "/", "too long"}));

TEST(ArduinoViolations, ProbeIsFlaggedWhenNotTolerated) {
    ArduinoOptions options;
    options.tolerateIcp12Probe = false;
    ArduinoSim sim(options);
    ProgramPort port(sim.slavePath());
    send(port, sim, "(ZMD)90/");
    ASSERT_EQ(sim.violationCount(), 1u);
    EXPECT_THAT(sim.violations()[0], HasSubstr("(ZMD)90/"));
    EXPECT_EQ(port.readFor(100ms), "");
}

TEST(ArduinoViolations, MessageCutOffByCloseIsFlagged) {
    ArduinoSim sim;
    {
        ProgramPort port(sim.slavePath());
        send(port, sim, "1/7");
    }
    ASSERT_TRUE(sim.waitForCloseCount(1, 2s));
    ASSERT_EQ(sim.violationCount(), 1u);
    EXPECT_THAT(sim.violations()[0], HasSubstr("incomplete message at close: \"1/7\""));
    EXPECT_FALSE(sim.state().pattern.has_value());
}

TEST(ArduinoViolations, InvalidMessagesAreLoggedAsInvalid) {
    ArduinoSim sim(ofType(ArduinoType::ET));
    ProgramPort port(sim.slavePath());
    send(port, sim, "1/300/4/1/1/1/");
    std::vector<bool> valid;
    for (const auto& m : sim.state().messages) {
        valid.push_back(m.valid);
    }
    EXPECT_THAT(valid, ElementsAre(false, false, true));
}

}  // namespace
}  // namespace kf::boardsim
