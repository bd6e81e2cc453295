#pragma once

#include "devices/Output.h"
#include "devices/SerialPortControl.h"

namespace kf {

// One side's iCP12 board: eight on or off commands a frame on its serial line.
class Icp12Output : public Output {
  public:
    Icp12Output(SharedState& state, int side, SerialPortControl& port)
        : state_(state), side_(side), port_(port) {}

    Moment moment() const override { return Moment::FrameEnd; }
    void take(const LampFrame& frame) override;
    void frameEnded() override;
    // The eight off commands, then the port closed.
    void startSwitchOff() override;
    State state() const override;

  private:
    SharedState& state_;
    const int side_;
    SerialPortControl& port_;
};

}  // namespace kf
