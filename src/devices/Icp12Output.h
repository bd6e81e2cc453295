#pragma once

#include "devices/SerialBoardOutput.h"

namespace kf {

// One side's iCP12 board: eight on or off commands a frame on its serial line.
class Icp12Output : public SerialBoardOutput {
  public:
    Icp12Output(SharedState& state, int side, SerialPortControl& port)
        : SerialBoardOutput(state, side, port) {}

    Moment moment() const override { return Moment::FrameEnd; }
    void take(const LampFrame& frame) override;
    void frameEnded() override;
    // The eight off commands, then the port closed.
    void startSwitchOff() override;
    std::optional<BoardKind> kind() const override { return BoardKind::Icp12; }
    // Its line opened on the board's port, and the board set up to take frames.
    bool join(const Arrival& arrival) override;

  private:
    std::int16_t portNumber() const override { return state_.ICP12Port(side_); }
};

}  // namespace kf
