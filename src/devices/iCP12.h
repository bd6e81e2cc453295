#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/SharedState.h"
#include "core/Timing.h"
#include "core/Waits.h"
#include "devices/ComPorts.h"
#include "devices/DeviceView.h"
#include "devices/SerialPortControl.h"

// The serial search at start-up, and the iCP12 boards' part of every frame, switch and
// switch-off.
namespace iCP12 {

// Each list holds eight 6-character commands joined by commas; entry i (1..8) is output i.
inline constexpr const char* kSetupList = "(RA0o),(RA1o),(RA2o),(RA3o),(RA5o),(RB0o),(RB1o),(RB2o)";
inline constexpr const char* kOnList = "(RA01),(RA11),(RA21),(RA31),(RA51),(RB01),(RB11),(RB21)";
inline constexpr const char* kOffList = "(RA00),(RA10),(RA20),(RA30),(RA50),(RB00),(RB10),(RB20)";
inline constexpr const char* kIdentify = "(ZMD)";
inline constexpr int kLastPort = 255;
// A frame sends eight commands of six characters to each board.
inline constexpr int kFrameBytes = 48;

std::string listEntry(const char* list, int i);

// The on and off commands of outputs 1..8, as every board found or joined gets them.
void fillCommands(kf::SharedState& state);

// A frame's commands for a board showing these lamps (bit n - 1: output n): outputs 1 to 8 in
// turn, each switched on or off.
std::string frameCommands(std::uint8_t lamps);

// Whether a reply to "(ZMD)" identifies an iCP12 board: it holds "ZMD", in capitals, anywhere.
bool isIdentifyReply(std::string_view reply);

// Whether COM n names an existing device; nothing is opened or sent.
bool ComPoortBestaat(const kf::ComPorts& ports, std::int16_t PortNr);

struct Search {
    kf::SharedState& state;
    kf::DeviceView& view;
    const kf::ComPorts& ports;
    kf::SerialPortControl& probe;  // the left iCP12 control
    kf::SerialPortControl& arduinoLinks;
    kf::SerialPortControl& arduinoRechts;
    kf::Waits& waits;
    const kf::Timing& timing;
    // Told the path of each device the user may not open.
    kf::SerialPortControl::RefusedHandler refused;
};

// What one port answered to the search's exchange: "(ZMD)", and when no iCP12 replied, "90/"
// after the board's reset wait.
struct PortAnswer {
    bool opened = false;   // false: it could not be opened, and nothing was tried
    bool icp12 = false;    // the reply to "(ZMD)" identified an iCP12
    std::string typeCode;  // otherwise the two characters given to "90/", known or not
};

// The search's decision on COM n, taken in ascending order of n: the first board of a kind goes
// left, a later one right (a third iCP12 replaces the right one); an unknown type code is kept
// for a side still empty, as the board may be named by it.
void takeAnswer(Search& search, std::int16_t n, const PortAnswer& answer);

// Tries COM 1..255 for iCP12 boards, then Arduino boards, all ports at once, each on its own
// timers; decides as searchOneAfterAnother does. Leaves every port closed.
void ZoekComPoorten(Search& search);
// The same search one port after another, on the search's own control: the reference the
// search at once must agree with.
void searchOneAfterAnother(Search& search);

using kf::SwitchResult;
// Check_iCP12 clicked outside start-up: toggles the output while any board exists.
SwitchResult Toggle(kf::SharedState& state);

}  // namespace iCP12
