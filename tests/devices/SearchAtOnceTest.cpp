// The search over all ports at once against the search one port after another: for each
// arrangement of boards, both run on boards of their own, and the outcome must be the same:
// ports, sides, type codes, labels, and every byte each board was sent.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "boardsim/ArduinoSim.h"
#include "boardsim/GarbageSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"
#include "devices/RecordingView.h"
#include "devices/iCP12.h"

namespace kf {
namespace {

using boardsim::ArduinoOptions;
using boardsim::ArduinoType;
using std::chrono::milliseconds;

// What sits on a port.
enum class At {
    Nothing,
    Silent,
    Icp12,
    Icp12Inside,
    Icp12Lower,
    TM,
    ET,
    AL,
    LowerTm,
    Garbage,
    Flood,
    Held
};

std::unique_ptr<boardsim::BoardSim> simFor(At at) {
    boardsim::Icp12Options icp12;
    ArduinoOptions arduino;
    boardsim::GarbageOptions garbage;
    switch (at) {
        case At::Nothing:
            return nullptr;
        case At::Silent:
            return std::make_unique<boardsim::SilentSim>();
        case At::Icp12:
        case At::Held:
            return std::make_unique<boardsim::Icp12Sim>(icp12);
        case At::Icp12Inside:
            icp12.identifyReply = "xxZMDxx";
            return std::make_unique<boardsim::Icp12Sim>(icp12);
        case At::Icp12Lower:
            icp12.identifyReply = "(zmd)";
            return std::make_unique<boardsim::Icp12Sim>(icp12);
        case At::TM:
        case At::ET:
        case At::AL:
            arduino.type = at == At::TM   ? ArduinoType::TM
                           : at == At::ET ? ArduinoType::ET
                                          : ArduinoType::AL;
            return std::make_unique<boardsim::ArduinoSim>(arduino);
        case At::LowerTm:
            arduino.identifyReply = "tm";
            return std::make_unique<boardsim::ArduinoSim>(arduino);
        case At::Garbage:
        case At::Flood:
            garbage.flood = at == At::Flood;
            return std::make_unique<boardsim::GarbageSim>(garbage);
    }
    return nullptr;
}

void PrintTo(At at, std::ostream* out) {
    static const char* const names[] = {"nothing",     "silent",  "iCP12", "iCP12 xxZMDxx",
                                        "iCP12 (zmd)", "TM",      "ET",    "AL",
                                        "tm",          "garbage", "flood", "held"};
    *out << names[static_cast<int>(at)];
}

struct Outcome {
    std::int16_t icp12[2];
    std::int16_t arduino[2];
    std::string types[2];
    bool arduinoActive[2];
    bool icp12Active;
    std::int16_t arduinoControls[2];
    std::map<DeviceLabel, std::string> captions;
    std::map<DeviceLabel, std::uint32_t> colours;
    std::map<DeviceLabel, std::string> tips;
    std::vector<std::string> sent;  // per port: what the board received
    bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    out << "iCP12 " << o.icp12[0] << "/" << o.icp12[1] << (o.icp12Active ? " on" : " off")
        << ", Arduino " << o.arduino[0] << "/" << o.arduino[1] << " types '" << o.types[0] << "'/'"
        << o.types[1] << "' active " << o.arduinoActive[0] << o.arduinoActive[1] << " controls "
        << o.arduinoControls[0] << "/" << o.arduinoControls[1] << "\n";
    for (const auto& [label, caption] : o.captions) {
        out << "  label " << static_cast<int>(label) << ": '" << caption << "' tip '"
            << (o.tips.contains(label) ? o.tips.at(label) : "") << "'\n";
    }
    for (std::size_t i = 0; i < o.sent.size(); ++i) {
        out << "  COM" << i + 1 << " got '" << o.sent[i] << "'\n";
    }
    return out;
}

// Runs one search over boards of its own, made for this run.
Outcome search(bool atOnce, const std::vector<At>& arrangement) {
    std::vector<std::unique_ptr<boardsim::BoardSim>> sims;
    std::vector<std::string> devices;
    for (std::size_t i = 0; i < arrangement.size(); ++i) {
        sims.push_back(simFor(arrangement[i]));
        // A link that names no device stands for a gap in the numbering.
        devices.push_back(sims.back() ? sims.back()->slavePath()
                                      : "/nonexistent/tty" + std::to_string(i + 1));
    }
    const ComPorts ports(devices);
    // Another program holds these ports for the whole search.
    std::vector<std::unique_ptr<SerialPortControl>> holders;
    for (std::size_t i = 0; i < arrangement.size(); ++i) {
        if (arrangement[i] == At::Held) {
            holders.push_back(std::make_unique<SerialPortControl>(ports, 115200));
            holders.back()->setCommPort(static_cast<std::int16_t>(i + 1));
            EXPECT_TRUE(holders.back()->setPortOpen(true));
        }
    }
    SharedState state;
    state.ColorOn = 0x00FF00;
    test::RecordingView view;
    EventLoopWaits waits;
    Timing timing;
    timing.icp12ReplyWait = milliseconds(150);
    timing.arduinoProbeWait = milliseconds(50);
    timing.arduinoReplyBound = milliseconds(300);
    SerialPortControl probe(ports, 115200);
    SerialPortControl arduinoLinks(ports, 115200);
    SerialPortControl arduinoRechts(ports, 115200);
    iCP12::Search s{state, view, ports, probe, arduinoLinks, arduinoRechts, waits, timing, {}};
    if (atOnce) {
        iCP12::ZoekComPoorten(s);
    } else {
        iCP12::searchOneAfterAnother(s);
    }

    Outcome o{{state.ICP12Port(Links), state.ICP12Port(Rechts)},
              {state.ArduinoPort(Links), state.ArduinoPort(Rechts)},
              {state.ArduinoType(Links), state.ArduinoType(Rechts)},
              {state.ArduinoActive(Links), state.ArduinoActive(Rechts)},
              state.ICP12Active,
              {arduinoLinks.CommPort(), arduinoRechts.CommPort()},
              view.captions,
              view.colours,
              view.tips,
              {}};
    // A tool tip names a device of this run: say which port it is.
    for (auto& [label, tip] : o.tips) {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (tip == devices[i]) {
                tip = "COM" + std::to_string(i + 1);
            }
        }
    }
    for (const auto& sim : sims) {
        // What a board was sent has arrived by the time the search is over, give or take the
        // simulator's thread: wait until it has been quiet for a moment.
        std::string got = sim ? sim->received() : std::string("-");
        while (sim && sim->waitForReceived(got.size() + 1, milliseconds(100))) {
            got = sim->received();
        }
        o.sent.push_back(got);
    }
    return o;
}

class SameOutcome : public ::testing::TestWithParam<std::vector<At>> {};

TEST_P(SameOutcome, AsTheSearchOnePortAfterAnother) {
    const Outcome oneByOne = search(false, GetParam());
    const Outcome atOnce = search(true, GetParam());
    EXPECT_EQ(atOnce, oneByOne) << "one after another:\n" << oneByOne << "at once:\n" << atOnce;
}

INSTANTIATE_TEST_SUITE_P(
    Arrangements, SameOutcome,
    ::testing::Values(
        // A silent port, two iCP12 boards, a TM, garbage, an AL, an iCP12 answering "xxZMDxx",
        // an Arduino answering "tm".
        std::vector<At>{At::Silent, At::Icp12, At::Icp12, At::TM, At::Garbage, At::AL,
                        At::Icp12Inside, At::LowerTm},
        // A third iCP12 replaces the right one; gaps in the numbering.
        std::vector<At>{At::Icp12, At::Nothing, At::Icp12, At::Nothing, At::Icp12},
        // A third Arduino replaces the right one; a rejected reply keeps the accepted type.
        std::vector<At>{At::ET, At::LowerTm, At::TM, At::AL, At::Garbage},
        // A rejected reply before any board; kinds counted apart.
        std::vector<At>{At::LowerTm, At::Icp12Lower, At::ET, At::Icp12, At::Flood, At::TM},
        // A rejected reply on a side no board takes: its code stays the side's type.
        std::vector<At>{At::Icp12, At::LowerTm},
        // Ports held by another program are skipped.
        std::vector<At>{At::Held, At::Icp12, At::Held, At::TM, At::Silent}));

}  // namespace
}  // namespace kf
