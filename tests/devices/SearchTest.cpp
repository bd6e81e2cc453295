#include "devices/iCP12.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"
#include "devices/RecordingView.h"

namespace kf {
namespace {

using test::RecordingView;

using boardsim::ArduinoOptions;
using boardsim::ArduinoSim;
using boardsim::ArduinoType;
using boardsim::Icp12Options;
using boardsim::Icp12Sim;
using std::chrono::milliseconds;

const std::string kSetup = "(RA0o)(RA1o)(RA2o)(RA3o)(RA5o)(RB0o)(RB1o)(RB2o)";

class CountingWaits : public Waits {
  public:
    void waitFor(milliseconds d) override {
        total += d;
        ++count;
        real.waitFor(d);
    }
    void dispatchOnce() override { real.dispatchOnce(); }
    milliseconds total{0};
    int count = 0;
    EventLoopWaits real;
};

// The search over a port list where COM n is slot n - 1: a simulator's pseudo-terminal, or a
// path that names no device.
class Search : public ::testing::Test {
  protected:
    SharedState state;
    RecordingView view;
    CountingWaits waits;
    Timing timing;
    std::vector<std::unique_ptr<boardsim::BoardSim>> sims;
    std::map<int, std::string> devicesByCom;
    std::unique_ptr<ComPorts> ports;
    std::unique_ptr<SerialPortControl> probe, arduinoLinks, arduinoRechts;

    void SetUp() override {
        timing.icp12ReplyWait = milliseconds(150);
        timing.arduinoProbeWait = milliseconds(50);
        timing.arduinoReplyBound = milliseconds(300);
        state.ColorOn = kColorOn;
        state.ColorOff = kColorOff;
    }

    template <class Sim>
    Sim& at(int com, std::unique_ptr<Sim> sim) {
        Sim& ref = *sim;
        devicesByCom[com] = sim->slavePath();
        sims.push_back(std::move(sim));
        return ref;
    }
    Icp12Sim& icp12At(int com, Icp12Options o = {}) {
        return at(com, std::make_unique<Icp12Sim>(o));
    }
    ArduinoSim& arduinoAt(int com, ArduinoType type, ArduinoOptions o = {}) {
        o.type = type;
        return at(com, std::make_unique<ArduinoSim>(o));
    }

    void run() {
        int last = 0;
        for (const auto& [com, path] : devicesByCom) {
            last = std::max(last, com);
        }
        std::vector<std::string> devices;
        for (int com = 1; com <= last; ++com) {
            devices.push_back(devicesByCom.contains(com)
                                  ? devicesByCom[com]
                                  : "/nonexistent/tty" + std::to_string(com));
        }
        ports = std::make_unique<ComPorts>(devices);
        probe = std::make_unique<SerialPortControl>(*ports, 115200);
        arduinoLinks = std::make_unique<SerialPortControl>(*ports, 115200);
        arduinoRechts = std::make_unique<SerialPortControl>(*ports, 115200);
        iCP12::Search search{state,          view,  *ports, *probe, *arduinoLinks,
                             *arduinoRechts, waits, timing, {}};
        if (atOnce) {
            iCP12::ZoekComPoorten(search);
        } else {
            iCP12::searchOneAfterAnother(search);
        }
    }
    bool atOnce = false;
};

// The decisions are the same whether the ports are tried one after another or all at once.
class SearchEitherWay : public Search, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Search::SetUp();
        atOnce = GetParam();
    }
};

TEST_F(Search, WithoutPortsWalksEveryNumberWithoutWaiting) {
    run();
    const auto captions = view.captionsOf(DeviceLabel::Zoeken);
    ASSERT_EQ(captions.size(), 255U);
    for (int n = 1; n <= 255; ++n) {
        EXPECT_EQ(captions[static_cast<std::size_t>(n - 1)],
                  "Looking for ICP12 on com" + std::to_string(n));
    }
    EXPECT_EQ(waits.count, 0);
    EXPECT_EQ(state.ICP12Port(Links), 0);
    EXPECT_EQ(state.ArduinoPort(Links), 0);
    EXPECT_FALSE(state.ICP12Active);
    EXPECT_TRUE(view.colours.empty());
}

TEST_P(SearchEitherWay, Icp12BoardsGoLeftThenRightAndGetTheirPinsSetUp) {
    Icp12Sim& a = icp12At(3);
    Icp12Sim& b = icp12At(7);
    run();
    EXPECT_EQ(state.ICP12Port(Links), 3);
    EXPECT_EQ(state.ICP12Port(Rechts), 7);
    EXPECT_TRUE(state.ICP12Active);
    EXPECT_EQ(view.captions[DeviceLabel::iCP12Links], " iCP12 Left on Com: 3");
    EXPECT_EQ(view.captions[DeviceLabel::iCP12Rechts], "iCP12 Right on Com: 7");
    EXPECT_EQ(view.colours[DeviceLabel::iCP12Links], kColorOn);
    EXPECT_EQ(view.colours[DeviceLabel::iCP12Rechts], kColorOn);
    EXPECT_EQ(view.tips[DeviceLabel::iCP12Links], a.slavePath());
    for (Icp12Sim* sim : {&a, &b}) {
        ASSERT_TRUE(sim->waitForReceived(5 + kSetup.size(), std::chrono::seconds(2)));
        EXPECT_EQ(sim->received(), "(ZMD)" + kSetup);
        EXPECT_TRUE(sim->violations().empty());
    }
    EXPECT_EQ(state.ICP12OnCmd(5), "(RA51)");
    EXPECT_EQ(state.ICP12OffCmd(8), "(RB20)");
    EXPECT_EQ(state.ArduinoPort(Links), 0) << "a board answering ZMD is never tried as an Arduino";
    EXPECT_FALSE(probe->PortOpen());
}

TEST_P(SearchEitherWay, AThirdIcp12ReplacesTheRightOne) {
    icp12At(3);
    Icp12Sim& middle = icp12At(5);
    icp12At(9);
    run();
    EXPECT_EQ(state.ICP12Port(Links), 3);
    EXPECT_EQ(state.ICP12Port(Rechts), 9);
    EXPECT_EQ(view.captions[DeviceLabel::iCP12Rechts], "iCP12 Right on Com: 9");
    ASSERT_TRUE(middle.waitForReceived(5 + kSetup.size(), std::chrono::seconds(2)));
    EXPECT_EQ(middle.received(), "(ZMD)" + kSetup) << "the replaced board was set up too";
}

TEST_P(SearchEitherWay, ZmdInsideOtherTextCountsButLowerCaseDoesNot) {
    Icp12Options inside;
    inside.identifyReply = "ok:xZMDx v2";
    Icp12Options lower;
    lower.identifyReply = "(zmd)";
    icp12At(1, inside);
    icp12At(2, lower);
    run();
    EXPECT_EQ(state.ICP12Port(Links), 1);
    EXPECT_EQ(state.ICP12Port(Rechts), 0);
}

TEST_P(SearchEitherWay, ATmArduinoAloneGoesLeftWithItsVersion) {
    ArduinoSim& tm = arduinoAt(4, ArduinoType::TM);
    run();
    EXPECT_EQ(state.ArduinoPort(Links), 4);
    EXPECT_EQ(state.ArduinoType(Links), "TM");
    EXPECT_TRUE(state.ArduinoActive(Links));
    EXPECT_EQ(view.captions[DeviceLabel::ArduinoLinks], " Arduino Left Com: 4 TM V1.1");
    EXPECT_EQ(view.colours[DeviceLabel::ArduinoLinks], kColorOn);
    EXPECT_EQ(arduinoLinks->CommPort(), 4);
    EXPECT_FALSE(arduinoLinks->PortOpen()) << "the search opens nothing for good";
    EXPECT_EQ(tm.received(), "(ZMD)90/");
    // The panel shows the Arduino probe once no iCP12 answered on that port.
    const auto zoeken = view.captionsOf(DeviceLabel::Zoeken);
    const auto icp12 = std::find(zoeken.begin(), zoeken.end(), "Looking for ICP12 on com4");
    ASSERT_NE(icp12, zoeken.end());
    ASSERT_NE(icp12 + 1, zoeken.end());
    EXPECT_EQ(*(icp12 + 1), "Looking for Arduino on com4");
}

TEST_P(SearchEitherWay, AnEtArduinoShowsNoVersionAndASecondOneGoesRight) {
    arduinoAt(2, ArduinoType::ET);
    ArduinoOptions extra;
    extra.identifyExtra = " nano v3\r\n";
    arduinoAt(6, ArduinoType::AL, extra);
    run();
    EXPECT_EQ(view.captions[DeviceLabel::ArduinoLinks], " Arduino Left Com: 2 ET");
    EXPECT_EQ(view.captions[DeviceLabel::ArduinoRechts], " Arduino Right Com: 6 AL");
    EXPECT_EQ(state.ArduinoPort(Rechts), 6);
    EXPECT_EQ(state.ArduinoType(Rechts), "AL");
    EXPECT_EQ(arduinoRechts->CommPort(), 6);
    // The right probe keeps the iCP12 caption.
    const auto zoeken = view.captionsOf(DeviceLabel::Zoeken);
    EXPECT_EQ(std::count(zoeken.begin(), zoeken.end(), "Looking for Arduino on com6"), 0);
    EXPECT_EQ(std::count(zoeken.begin(), zoeken.end(), "Looking for Arduino on com2"), 1);
}

TEST_P(SearchEitherWay, KindsAreCountedApart) {
    arduinoAt(1, ArduinoType::TM);
    icp12At(2);
    arduinoAt(3, ArduinoType::ET);
    icp12At(4);
    run();
    EXPECT_EQ(state.ArduinoPort(Links), 1);
    EXPECT_EQ(state.ICP12Port(Links), 2);
    EXPECT_EQ(state.ArduinoPort(Rechts), 3);
    EXPECT_EQ(state.ICP12Port(Rechts), 4);
}

TEST_P(SearchEitherWay, AGarbageReplyIsNoBoardAndLeavesTheAcceptedOnesAlone) {
    arduinoAt(4, ArduinoType::TM);
    arduinoAt(5, ArduinoType::ET);
    at(6, std::make_unique<boardsim::GarbageSim>());
    ArduinoOptions lower;
    lower.identifyReply = "tm";
    arduinoAt(7, ArduinoType::TM, lower);
    run();
    EXPECT_EQ(state.ArduinoPort(Links), 4);
    EXPECT_EQ(state.ArduinoPort(Rechts), 5);
    EXPECT_EQ(state.ArduinoType(Rechts), "ET") << "a rejected reply keeps the accepted type";
    EXPECT_EQ(view.captions[DeviceLabel::ArduinoRechts], " Arduino Right Com: 5 ET");
    EXPECT_EQ(arduinoRechts->CommPort(), 5);
}

TEST_P(SearchEitherWay, GarbageBeforeAnyBoardIsNotAccepted) {
    at(1, std::make_unique<boardsim::GarbageSim>());
    run();
    EXPECT_EQ(state.ArduinoPort(Links), 0);
    EXPECT_FALSE(state.ArduinoActive(Links));
    EXPECT_EQ(view.colours.count(DeviceLabel::ArduinoLinks), 0U);
}

TEST_F(Search, SilentAndFloodingPortsCostOnlyTheBoundedWait) {
    at(1, std::make_unique<boardsim::SilentSim>());
    boardsim::GarbageOptions flood;
    flood.flood = true;
    at(2, std::make_unique<boardsim::GarbageSim>(flood));
    icp12At(3);
    arduinoAt(4, ArduinoType::AL);
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(state.ICP12Port(Links), 3);
    EXPECT_EQ(state.ArduinoPort(Links), 4);
    EXPECT_EQ(state.ArduinoType(Links), "AL");
    // Four ports: four replies waited for, three Arduino probes, one bounded wait.
    const auto bound = 4 * timing.icp12ReplyWait + 3 * timing.arduinoProbeWait +
                       timing.arduinoReplyBound + milliseconds(1500);
    EXPECT_LT(took, bound);
}

TEST_P(SearchEitherWay, APortHeldByAnotherProgramIsSkipped) {
    icp12At(1);
    Icp12Sim& free = icp12At(2);
    std::vector<std::string> devices = {devicesByCom[1]};
    ComPorts other(devices);
    SerialPortControl holder(other, 115200);
    holder.setCommPort(1);
    ASSERT_TRUE(holder.setPortOpen(true));
    run();
    EXPECT_EQ(state.ICP12Port(Links), 2);
    EXPECT_EQ(state.ICP12Port(Rechts), 0);
    ASSERT_TRUE(free.waitForReceived(5, std::chrono::seconds(1)));
}

TEST_F(Search, TheRealWaitsOfOneSecondAndTheTwoSecondBound) {
    timing = Timing{};
    at(1, std::make_unique<boardsim::SilentSim>());
    icp12At(2);
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(state.ICP12Port(Links), 2);
    // Silent: 1 s for "(ZMD)", 1 s before "90/", 2 s for the code; the iCP12: 1 s.
    EXPECT_EQ(waits.total, milliseconds(3000));
    EXPECT_GE(took, milliseconds(5000));
    EXPECT_LT(took, milliseconds(7000));
}

INSTANTIATE_TEST_SUITE_P(Search, SearchEitherWay, ::testing::Values(false, true),
                         [](const auto& info) {
                             return info.param ? std::string("AtOnce")
                                               : std::string("OneAfterAnother");
                         });

TEST_F(Search, AtOnceWithoutPortsWaitsForNothing) {
    atOnce = true;
    run();
    EXPECT_EQ(view.captionsOf(DeviceLabel::Zoeken),
              std::vector<std::string>{"Looking for ICP12 on com255"});
    EXPECT_EQ(waits.count, 0);
    EXPECT_FALSE(state.ICP12Active);
}

}  // namespace
}  // namespace kf
