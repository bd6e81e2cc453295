#include "devices/Outputs.h"

#include "devices/SerialPortControl.h"

namespace kf {

void Outputs::runFrame(const std::function<void()>& analyse) {
    beginFrame();
    analyse();
    endFrame();
}

void Outputs::beginFrame() {
    SerialPortControl::holdOutputs(lines_);
}

void Outputs::endFrame() {
    for (const auto& output : outputs_) {
        output->frameEnded();  // inside the batch: from its one look at each line
    }
    for (SerialPortControl* line : lines_) {
        line->releaseOutput();
    }
}

void Outputs::take(Output::Moment moment, const LampFrame& frame) {
    for (const auto& output : outputs_) {
        if (output->moment() == moment) {
            output->take(frame);
        }
    }
}

bool Outputs::join(BoardKind kind, int side, const Arrival& arrival) {
    for (const auto& output : outputs_) {
        if (output->kind() == kind && output->side() == side) {
            return output->join(arrival);
        }
    }
    return false;
}

void Outputs::switchOff() {
    for (const auto& output : outputs_) {
        output->startSwitchOff();
    }
    for (const auto& output : outputs_) {
        output->finishSwitchOff();
    }
}

}  // namespace kf
