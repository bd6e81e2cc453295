#include "devices/ArduinoOutput.h"

#include "devices/Arduino.h"
#include "devices/BoardRegistry.h"
#include "devices/LatestFrame.h"

namespace kf {

void ArduinoOutput::take(const LampFrame& frame) {
    if (!port_.PortOpen() || !state_.ArduinoActive(side_)) {
        return;
    }
    const std::string messages =
        Arduino::frameMessages(state_.ArduinoType(side_), frame.patterns(side_), frame.peaks(side_),
                               state_.TM1638V13(side_));
    if (!messages.empty() && takesFrame(port_.lineBacklog(), Arduino::kFrameBytes)) {
        port_.Output(messages);
    }
}

bool ArduinoOutput::join(const Arrival& arrival) {
    if (!openOn(arrival.commPort)) {
        return false;
    }
    BoardRegistry::setPort(state_, BoardKind::Arduino, side_, arrival.commPort);
    if (!arrival.returning) {
        state_.TM1638V13(side_) = false;  // only a returning board keeps the version chosen
    }
    BoardRegistry::setArduinoType(state_, side_, arrival.typeCode);
    return true;
}

void ArduinoOutput::startSwitchOff() {
    if (state_.ArduinoPort(side_) == 0) {
        return;
    }
    if (port_.PortOpen() && state_.ArduinoActive(side_)) {
        port_.Output(Arduino::kAllOff);
    }
    port_.setPortOpen(false);
}

}  // namespace kf
