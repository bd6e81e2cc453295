#pragma once

#include <cstdint>
#include <string>

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
    int side() const override { return side_; }
    std::string name() const override {
        return "the board on COM" + std::to_string(port_.CommPort()) + " (" + port_.devicePath() +
               ")";
    }
    ~SerialBoardOutput() override { port_.setFailureHandler({}); }

  protected:
    // A line that fails while running (unplugged) is the board gone: the line closed itself.
    SerialBoardOutput(SharedState& state, int side, SerialPortControl& port)
        : state_(state), side_(side), port_(port) {
        port_.setFailureHandler([this] { notify(State::Lost); });
    }
    virtual std::int16_t portNumber() const = 0;
    // The side's line, opened afresh on COM n: the device may be a new one under that name.
    bool openOn(std::int16_t commPort) {
        port_.setPortOpen(false);
        port_.setCommPort(commPort);
        return port_.setPortOpen(true);
    }

    SharedState& state_;
    const int side_;
    SerialPortControl& port_;
};

}  // namespace kf
