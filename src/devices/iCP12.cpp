#include "devices/iCP12.h"

#include <chrono>
#include <thread>

#include "devices/Arduino.h"
#include "devices/BoardRegistry.h"

namespace iCP12 {

namespace {

using Clock = std::chrono::steady_clock;

std::string number(int n) {
    return std::to_string(n);
}

// The left side takes the first iCP12, the right side the second; a later one replaces the
// right one.
void seatIcp12(Search& s, std::int16_t n) {
    kf::SharedState& st = s.state;
    const std::string path = s.ports.devicePath(n);
    if (st.ICP12Port(kf::Links) != 0) {
        kf::BoardRegistry::setPort(st, kf::BoardKind::Icp12, kf::Rechts, n);
        s.view.setBackColor(kf::DeviceLabel::iCP12Rechts, st.ColorOn);
        s.view.setCaption(kf::DeviceLabel::iCP12Rechts, "iCP12 Right on Com: " + number(n));
        s.view.setToolTip(kf::DeviceLabel::iCP12Rechts, path);
    } else {
        kf::BoardRegistry::setPort(st, kf::BoardKind::Icp12, kf::Links, n);
        s.view.setBackColor(kf::DeviceLabel::iCP12Links, st.ColorOn);
        s.view.setCaption(kf::DeviceLabel::iCP12Links, " iCP12 Left on Com: " + number(n));
        s.view.setToolTip(kf::DeviceLabel::iCP12Links, path);
    }
    fillCommands(st);
    st.ICP12Active = true;
}

int arduinoSideFor(const kf::SharedState& st) {
    return st.ArduinoPort(kf::Links) == 0 ? kf::Links : kf::Rechts;
}

void seatArduino(Search& s, std::int16_t n, const std::string& code) {
    kf::SharedState& st = s.state;
    const int side = arduinoSideFor(st);
    if (!Arduino::isKnownType(code)) {
        // A rejected reply must not take the type code from a board already accepted here.
        if (st.ArduinoPort(side) == 0) {
            kf::BoardRegistry::setArduinoType(st, side, code);
        }
        return;
    }
    kf::BoardRegistry::setArduinoType(st, side, code);
    st.ArduinoActive(side) = true;
    kf::BoardRegistry::setPort(st, kf::BoardKind::Arduino, side, n);
    const bool links = side == kf::Links;
    (links ? s.arduinoLinks : s.arduinoRechts).setCommPort(n);
    const kf::DeviceLabel label =
        links ? kf::DeviceLabel::ArduinoLinks : kf::DeviceLabel::ArduinoRechts;
    std::string caption =
        (links ? " Arduino Left Com: " : " Arduino Right Com: ") + number(n) + " " + code;
    if (code == "TM") {
        caption += " V1.1";
    }
    s.view.setBackColor(label, st.ColorOn);
    s.view.setCaption(label, caption);
    s.view.setToolTip(label, s.ports.devicePath(n));
}

// Waits for the two-character type code, without handling window events, but never longer
// than the bound: a port with nothing attached must not stop the search.
std::string readTypeCode(Search& s) {
    const auto deadline = Clock::now() + s.timing.arduinoReplyBound;
    while (s.probe.InBufferCount() < 2 && s.probe.PortOpen() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return Arduino::typeCodeOf(s.probe.Input());
}

// One port's exchange, on the search's own control.
PortAnswer exchange(Search& s, std::int16_t n) {
    s.probe.Output(kIdentify);
    s.waits.waitFor(s.timing.icp12ReplyWait);
    if (isIdentifyReply(s.probe.Input())) {
        for (int i = 1; i <= 8; ++i) {
            s.probe.Output(listEntry(kSetupList, i));
        }
        return {true, true, {}};
    }
    if (arduinoSideFor(s.state) == kf::Links) {
        s.view.setCaption(kf::DeviceLabel::Zoeken, "Looking for Arduino on com" + number(n));
    }
    s.waits.waitFor(s.timing.arduinoProbeWait);
    s.probe.Output(Arduino::kIdentify);
    return {true, false, readTypeCode(s)};
}

}  // namespace

std::string listEntry(const char* list, int i) {
    return std::string(list).substr(static_cast<std::size_t>((i - 1) * 7), 6);
}

std::string frameCommands(std::uint8_t lamps) {
    std::string commands;
    commands.reserve(kFrameBytes);
    for (int i = 1; i <= 8; ++i) {
        commands += listEntry((lamps >> (i - 1)) & 1 ? kOnList : kOffList, i);
    }
    return commands;
}

void fillCommands(kf::SharedState& state) {
    for (int i = 1; i <= 8; ++i) {
        state.ICP12OnCmd(i) = listEntry(kOnList, i);
        state.ICP12OffCmd(i) = listEntry(kOffList, i);
    }
}

bool isIdentifyReply(std::string_view reply) {
    return reply.find("ZMD") != std::string_view::npos;
}

bool ComPoortBestaat(const kf::ComPorts& ports, std::int16_t PortNr) {
    return ports.exists(PortNr);
}

void takeAnswer(Search& s, std::int16_t n, const PortAnswer& answer) {
    if (!answer.opened) {
        return;
    }
    if (answer.icp12) {
        seatIcp12(s, n);
    } else {
        seatArduino(s, n, answer.typeCode);
    }
}

void searchOneAfterAnother(Search& s) {
    kf::BoardRegistry::setPort(s.state, kf::BoardKind::Icp12, kf::Links, 0);
    kf::BoardRegistry::setPort(s.state, kf::BoardKind::Icp12, kf::Rechts, 0);
    for (int i = 1; i <= kLastPort; ++i) {
        const auto n = static_cast<std::int16_t>(i);
        s.view.setCaption(kf::DeviceLabel::Zoeken, "Looking for ICP12 on com" + number(n));
        if (!ComPoortBestaat(s.ports, n)) {
            continue;
        }
        s.probe.setCommPort(n);
        // A port that cannot be opened (held by another program) holds no board for us.
        if (!s.probe.setPortOpen(true)) {
            continue;
        }
        takeAnswer(s, n, exchange(s, n));
        s.probe.setPortOpen(false);
    }
}

SwitchResult Toggle(kf::SharedState& state) {
    // A right board runs alone when its left one was found but could not be opened.
    if (state.ICP12Port(kf::Links) == 0 && state.ICP12Port(kf::Rechts) == 0) {
        return SwitchResult::Untick;
    }
    state.ICP12Active = !state.ICP12Active;
    return state.ICP12Active ? SwitchResult::TurnedOn : SwitchResult::TurnedOff;
}

}  // namespace iCP12
