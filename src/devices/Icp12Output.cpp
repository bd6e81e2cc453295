#include "devices/Icp12Output.h"

#include "devices/BoardRegistry.h"
#include "devices/LatestFrame.h"
#include "devices/iCP12.h"

namespace kf {

void Icp12Output::take(const LampFrame& frame) {
    if (state_.ICP12Port(side_) == 0 || !state_.ICP12Active ||
        !takesFrame(port_.lineBacklog(), iCP12::kFrameBytes)) {
        return;
    }
    port_.Output(iCP12::frameCommands(static_cast<std::uint8_t>(frame.patterns(side_))));
}

void Icp12Output::frameEnded() {
    // Its replies must not pile up in the line.
    if (port_.PortOpen()) {
        port_.Input();
    }
}

bool Icp12Output::join(const Arrival& arrival) {
    if (!openOn(arrival.commPort)) {
        return false;
    }
    BoardRegistry::setPort(state_, BoardKind::Icp12, side_, arrival.commPort);
    iCP12::fillCommands(state_);
    return true;
}

void Icp12Output::startSwitchOff() {
    if (state_.ICP12Port(side_) == 0) {
        return;
    }
    for (int i = 1; i <= 8; ++i) {
        port_.Output(state_.ICP12OffCmd(i));
    }
    port_.setPortOpen(false);
}

}  // namespace kf
