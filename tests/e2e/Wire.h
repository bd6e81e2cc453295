#pragma once
// Reading what the simulated boards received: messages in a time window, lamp counts, and the
// state every board must be left in when the program has ended.

#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/BoardSim.h"
#include "boardsim/Icp12Sim.h"

namespace kfe2e {

using namespace std::chrono_literals;
using kf::boardsim::ArduinoMessage;
using kf::boardsim::ArduinoSim;
using kf::boardsim::ArduinoState;
using kf::boardsim::BoardSim;
using kf::boardsim::Icp12Sim;
using kf::boardsim::Icp12State;
using TimePoint = kf::boardsim::Clock::time_point;

// What an iCP12 board hears during the search: the question and the eight set-up commands.
inline constexpr const char* kSetUpBytes = "(ZMD)(RA0o)(RA1o)(RA2o)(RA3o)(RA5o)(RB0o)(RB1o)(RB2o)";

inline constexpr int kPattern = 1;
inline constexpr int kPeak = 4;
inline constexpr int kText = 9;
inline constexpr int kIdentify = 90;

inline std::vector<ArduinoMessage> messages(const ArduinoState& s, int command,
                                            TimePoint from = TimePoint::min(),
                                            TimePoint to = TimePoint::max()) {
    std::vector<ArduinoMessage> out;
    for (const auto& m : s.messages) {
        if (m.command == command && m.time >= from && m.time < to) {
            out.push_back(m);
        }
    }
    return out;
}

inline int value(const ArduinoMessage& m) {
    return std::stoi(m.argument);
}

// Share of the messages whose value is `wanted`.
inline double shareOf(const std::vector<ArduinoMessage>& ms, int wanted) {
    if (ms.empty()) {
        return 0.0;
    }
    int hits = 0;
    for (const auto& m : ms) {
        hits += value(m) == wanted ? 1 : 0;
    }
    return static_cast<double>(hits) / static_cast<double>(ms.size());
}

inline double meanLamps(const std::vector<ArduinoMessage>& patterns) {
    if (patterns.empty()) {
        return 0.0;
    }
    double sum = 0;
    for (const auto& m : patterns) {
        sum += std::popcount(static_cast<unsigned>(value(m)));
    }
    return sum / static_cast<double>(patterns.size());
}

inline std::string valuesText(const std::vector<ArduinoMessage>& ms, std::size_t most = 40) {
    std::string text;
    for (std::size_t i = 0; i < ms.size() && i < most; ++i) {
        text += ms[i].argument + " ";
    }
    return text;
}

// How often each iCP12 output was switched on between two snapshots.
inline std::array<unsigned, 8> onsBetween(const Icp12State& a, const Icp12State& b) {
    std::array<unsigned, 8> d{};
    for (std::size_t i = 0; i < 8; ++i) {
        d[i] = b.onCount[i] - a.onCount[i];
    }
    return d;
}

// After the program ended: the iCP12 board dark, the port closed as often as opened.
inline void expectIcp12LeftDark(const Icp12Sim& sim, const std::string& name) {
    SCOPED_TRACE(name);
    // The program has ended; its simulator reads the last bytes and the close when it next runs.
    EXPECT_TRUE(sim.waitForCloseCount(sim.openCount(), std::chrono::seconds(5))) << sim.summary();
    const Icp12State s = sim.state();
    EXPECT_EQ(s.lit(), 0) << sim.summary();
    const std::string wire = sim.received();
    EXPECT_TRUE(wire.ends_with("(RA00)(RA10)(RA20)(RA30)(RA50)(RB00)(RB10)(RB20)"))
        << wire.substr(wire.size() > 120 ? wire.size() - 120 : 0);
    EXPECT_FALSE(sim.programHasOpen());
    EXPECT_EQ(sim.closeCount(), sim.openCount());
    EXPECT_EQ(sim.violationCount(), 0u) << testing::PrintToString(sim.violations());
}

// After the program ended: the Arduino's last message the all-off "1/0/", its port closed.
inline void expectArduinoLeftDark(const ArduinoSim& sim, const std::string& name) {
    SCOPED_TRACE(name);
    // The program has ended; its simulator reads the last bytes and the close when it next runs.
    EXPECT_TRUE(sim.waitForCloseCount(sim.openCount(), std::chrono::seconds(5))) << sim.summary();
    const ArduinoState s = sim.state();
    ASSERT_FALSE(s.messages.empty());
    EXPECT_EQ(s.messages.back().command, kPattern);
    EXPECT_EQ(s.messages.back().argument, "0");
    EXPECT_TRUE(sim.received().ends_with("1/0/"));
    EXPECT_FALSE(sim.programHasOpen());
    EXPECT_EQ(sim.closeCount(), sim.openCount());
    EXPECT_EQ(sim.violationCount(), 0u) << testing::PrintToString(sim.violations());
}

// A TM board at the end: the end text, two seconds of nothing, then the all-off message.
inline void expectTmSaidGoodbye(const ArduinoSim& sim, const std::string& name) {
    SCOPED_TRACE(name);
    // The program has ended; its simulator reads the last bytes and the close when it next runs.
    EXPECT_TRUE(sim.waitForCloseCount(sim.openCount(), std::chrono::seconds(5))) << sim.summary();
    const ArduinoState s = sim.state();
    ASSERT_GE(s.messages.size(), 2u);
    const ArduinoMessage& last = s.messages.back();
    // The end text may come more than once; the last one precedes the all-off message.
    std::size_t i = s.messages.size() - 1;
    while (i > 0 && s.messages[i].command != kText) {
        --i;
    }
    ASSERT_EQ(s.messages[i].command, kText);
    EXPECT_EQ(s.messages[i].argument, " in out ");
    EXPECT_EQ(i + 1, s.messages.size() - 1) << "messages between the end text and the all-off";
    EXPECT_GE(last.time - s.messages[i].time, 1900ms);
}

}  // namespace kfe2e
