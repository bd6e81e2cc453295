// The outputs as the frame and the end reach them, on real lines: each takes its lamps at its
// moment of the frame, the iCP12 replies are read away, and the end leaves every board dark.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "devices/ArduinoOutput.h"
#include "devices/BoardRegistry.h"
#include "devices/Icp12Output.h"
#include "devices/Outputs.h"
#include "devices/Pty.h"
#include "devices/SerialPortControl.h"
#include "devices/iCP12.h"

namespace kf {
namespace {

using namespace std::chrono_literals;

class OutputsTest : public ::testing::Test {
  protected:
    test::Pty icp12Line;
    test::Pty arduinoLine;
    ComPorts ports{{icp12Line.path(), arduinoLine.path()}};
    SharedState state;
    SerialPortControl icp12{ports, 115200};
    SerialPortControl arduino{ports, 115200};
    Outputs outputs{{&arduino, &icp12}};

    void SetUp() override {
        for (int i = 1; i <= 8; ++i) {
            state.ICP12OffCmd(i) = iCP12::listEntry(iCP12::kOffList, i);
        }
        kf::BoardRegistry::setPort(state, kf::BoardKind::Icp12, Links, 1);
        state.ICP12Active = true;
        kf::BoardRegistry::setPort(state, kf::BoardKind::Arduino, Links, 2);
        state.ArduinoActive(Links) = true;
        kf::BoardRegistry::setArduinoType(state, Links, "ET");
        icp12.setCommPort(1);
        arduino.setCommPort(2);
        ASSERT_TRUE(icp12.setPortOpen(true));
        ASSERT_TRUE(arduino.setPortOpen(true));
        outputs.add(std::make_unique<Icp12Output>(state, Links, icp12));
        outputs.add(std::make_unique<ArduinoOutput>(state, Links, arduino));
    }

    // A frame as the show runs it: the previous patterns at its start, this frame's at its end.
    void frame(std::int32_t previous, std::int32_t now) {
        outputs.runFrame([&] {
            state.LedPattern(Links) = previous;
            outputs.take(Output::Moment::FrameStart, LampFrame::of(state));
            state.LedPattern(Links) = now;
            outputs.take(Output::Moment::FrameEnd, LampFrame::of(state));
        });
    }
};

TEST_F(OutputsTest, EachKindTakesItsOwnMomentsLampsAndTheReplyIsReadAway) {
    ASSERT_TRUE(icp12Line.write("ZMD-reply"));
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (icp12.InBufferCount() < 9 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(icp12.InBufferCount(), 9);
    frame(0b101, 0b11);
    EXPECT_EQ(arduinoLine.read(4, 1s), "1/5/") << "the start of the frame: the previous lamps";
    EXPECT_EQ(icp12Line.read(48, 1s), iCP12::frameCommands(0b11));
    EXPECT_EQ(icp12.InBufferCount(), 0) << "the board's reply was left in the line";
}

TEST_F(OutputsTest, TheEndLeavesEveryBoardDarkAndItsPortClosed) {
    outputs.switchOff();
    std::string off;
    for (int i = 1; i <= 8; ++i) {
        off += iCP12::listEntry(iCP12::kOffList, i);
    }
    EXPECT_EQ(icp12Line.read(48, 1s), off);
    EXPECT_EQ(arduinoLine.read(4, 1s), "1/0/");
    EXPECT_FALSE(icp12.PortOpen());
    EXPECT_FALSE(arduino.PortOpen());
}

TEST_F(OutputsTest, StateFollowsTheBoard) {
    const auto& all = outputs.all();
    EXPECT_EQ(all[0]->state(), Output::State::Open);
    icp12Line.closeMaster();  // pulled out
    EXPECT_EQ(all[0]->state(), Output::State::Lost);
    kf::BoardRegistry::setPort(state, kf::BoardKind::Arduino, Links, 0);
    EXPECT_EQ(all[1]->state(), Output::State::Absent);
}

TEST_F(OutputsTest, APulledLineIsToldOnceAsLostByItsOwnOutputWithItsName) {
    std::vector<std::pair<std::string, Output::State>> told;
    for (const auto& output : outputs.all()) {
        output->setStateNotice(
            [&](const Output& o, Output::State now) { told.emplace_back(o.name(), now); });
    }
    icp12Line.closeMaster();
    for (int i = 0; i < 3; ++i) {
        frame(0b1, 0b1);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].first, "the board on COM1 (" + icp12Line.path() + ")");
    EXPECT_EQ(told[0].second, Output::State::Lost);
    EXPECT_EQ(arduinoLine.read(8, 1s), "1/1/1/1/") << "the other board goes on";
}

TEST_F(OutputsTest, ABoardThatJoinsIsOpenedAndSetUpOnItsSideAndAGoneOneIsNot) {
    // The left Arduino board is pulled and a new one joins on the iCP12's old port number:
    // the side's own line opens on it afresh.
    arduinoLine.closeMaster();
    ASSERT_FALSE(arduino.PortOpen());
    state.TM1638V13(Links) = true;
    EXPECT_FALSE(outputs.join(BoardKind::Arduino, Links, {2, "TM", -1, false}))
        << "its port is gone";
    EXPECT_EQ(state.ArduinoPort(Links), 2) << "a failed join changes nothing";
    icp12.setPortOpen(false);
    ASSERT_TRUE(outputs.join(BoardKind::Arduino, Links, {1, "TM", -1, false}));
    EXPECT_EQ(state.ArduinoPort(Links), 1);
    EXPECT_EQ(state.ArduinoType(Links), "TM");
    EXPECT_FALSE(state.TM1638V13(Links)) << "a new board does not keep the old one's version";
    EXPECT_EQ(outputs.all()[1]->state(), Output::State::Open);
    frame(0b1, 0);
    EXPECT_EQ(icp12Line.read(4, 1s), "1/1/");
    EXPECT_FALSE(outputs.join(BoardKind::K8055, Links, {0, "", 0, false})) << "no such output";
}

}  // namespace
}  // namespace kf
