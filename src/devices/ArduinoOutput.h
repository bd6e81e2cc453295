#pragma once

#include "devices/SerialBoardOutput.h"

namespace kf {

// One side's Arduino board (ET, AL or TM): its pattern, and the peaks where the type shows
// them, a frame on its serial line.
class ArduinoOutput : public SerialBoardOutput {
  public:
    ArduinoOutput(SharedState& state, int side, SerialPortControl& port)
        : SerialBoardOutput(state, side, port) {}

    Moment moment() const override { return Moment::FrameStart; }
    void take(const LampFrame& frame) override;
    // All lamps off when the side is enabled, then the port closed.
    void startSwitchOff() override;
    std::optional<BoardKind> kind() const override { return BoardKind::Arduino; }
    // Its line opened on the board's port, and the board set up to take frames.
    bool join(const Arrival& arrival) override;

  private:
    std::int16_t portNumber() const override { return state_.ArduinoPort(side_); }
};

}  // namespace kf
