#include "devices/Arduino.h"

#include "devices/LatestFrame.h"

namespace Arduino {

namespace {

void frameStep(kf::SharedState& state, int side, kf::SerialPortControl& port) {
    if (!port.PortOpen() || !state.ArduinoActive(side)) {
        return;
    }
    const std::string messages = frameMessages(state.ArduinoType(side), state.LedPattern(side),
                                               state.Peak(side), state.TM1638V13(side));
    if (!messages.empty() && kf::takesFrame(port.lineBacklog(), kFrameBytes)) {
        port.Output(messages);
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

std::string frameMessages(const std::string& type, std::int32_t pattern, std::int32_t peak,
                          bool v13) {
    if (!isKnownType(type)) {
        return {};
    }
    std::string messages = patternMessage(pattern);
    if ((type == "AL" && peak != 0) || (type == "TM" && v13)) {
        messages += peakMessage(peak);
    }
    return messages;
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
