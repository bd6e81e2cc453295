#include "devices/Arduino.h"

namespace Arduino {

namespace {

void frameStep(kf::SharedState& state, int side, kf::SerialPortControl& port) {
    if (!port.PortOpen() || !state.ArduinoActive(side)) {
        return;
    }
    const std::string& type = state.ArduinoType(side);
    const std::int32_t pattern = state.LedPattern(side);
    const std::int16_t peak = state.Peak(side);
    if (!isKnownType(type)) {
        return;
    }
    // A link that has not yet sent the last frame gets nothing new: what it carries stays at
    // most a frame old, and the next frame brings the full state again.
    if (port.lineBacklog() > kFrameBytes) {
        return;
    }
    port.Output(patternMessage(pattern));
    if ((type == "AL" && peak != 0) || (type == "TM" && state.TM1638V13(side))) {
        port.Output(peakMessage(peak));
    }
}

void offStep(kf::SharedState& state, int side, kf::SerialPortControl& port) {
    if (state.ArduinoPort(side) == 0) {
        return;
    }
    if (port.PortOpen() && state.ArduinoActive(side)) {
        port.Output(kAllOff);
    }
    port.setPortOpen(false);
}

}  // namespace

std::string patternMessage(std::int32_t pattern) {
    return "1/" + std::to_string(pattern) + "/";
}

std::string peakMessage(std::int32_t mask) {
    return "4/" + std::to_string(mask) + "/";
}

std::string typeCodeOf(std::string_view reply) {
    return std::string(reply.substr(0, 2));
}

bool isKnownType(const std::string& code) {
    return code == "ET" || code == "AL" || code == "TM";
}

void FrameStep(kf::SharedState& state, kf::SerialPortControl& links,
               kf::SerialPortControl& rechts) {
    frameStep(state, kf::Links, links);
    frameStep(state, kf::Rechts, rechts);
}

void OffStep(kf::SharedState& state, kf::SerialPortControl& links, kf::SerialPortControl& rechts) {
    offStep(state, kf::Links, links);
    offStep(state, kf::Rechts, rechts);
}

}  // namespace Arduino
