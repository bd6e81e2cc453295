#pragma once

#include <cstdint>

#include "devices/Output.h"
#include "devices/SerialPortControl.h"

namespace kf {

// A side's board on a serial line of its own. The side's port number says whether a board is
// there; the line whether it is still reached.
class SerialBoardOutput : public Output {
  public:
    State state() const override {
        if (portNumber() == 0) {
            return State::Absent;
        }
        return port_.PortOpen() ? State::Open : State::Lost;
    }

  protected:
    SerialBoardOutput(SharedState& state, int side, SerialPortControl& port)
        : state_(state), side_(side), port_(port) {}
    virtual std::int16_t portNumber() const = 0;

    SharedState& state_;
    const int side_;
    SerialPortControl& port_;
};

}  // namespace kf
