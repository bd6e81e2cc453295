#pragma once

#include "devices/Output.h"
#include "devices/SerialPortControl.h"

namespace kf {

// One side's Arduino board (ET, AL or TM): its pattern, and the peaks where the type shows
// them, a frame on its serial line.
class ArduinoOutput : public Output {
  public:
    ArduinoOutput(SharedState& state, int side, SerialPortControl& port)
        : state_(state), side_(side), port_(port) {}

    Moment moment() const override { return Moment::FrameStart; }
    void take(const LampFrame& frame) override;
    // All lamps off when the side is enabled, then the port closed.
    void startSwitchOff() override;
    State state() const override;

  private:
    SharedState& state_;
    const int side_;
    SerialPortControl& port_;
};

}  // namespace kf
