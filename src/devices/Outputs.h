#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "devices/Output.h"

namespace kf {

class SerialPortControl;

// Every output the frame reaches, in the order the end switches them off.
class Outputs {
  public:
    // The serial lines the outputs write to: a frame's writes to them leave in one write per
    // line, after one look at all of them.
    explicit Outputs(std::vector<SerialPortControl*> lines) : lines_(std::move(lines)) {}

    void add(std::unique_ptr<Output> output) { outputs_.push_back(std::move(output)); }

    // Runs one frame; the frame's analysis hands the outputs their lamps through take().
    void runFrame(const std::function<void()>& analyse);
    // The same in two halves: the lines are held from begin to end.
    void beginFrame();
    void endFrame();
    // The outputs of that moment take the lamps.
    void take(Output::Moment moment, const LampFrame& frame);
    // The output of that kind and side takes on the board that joined; false when it could
    // not (or there is no such output).
    bool join(BoardKind kind, int side, const Arrival& arrival);
    // Every output off: all start, then each is waited for.
    void switchOff();

    const std::vector<std::unique_ptr<Output>>& all() const { return outputs_; }

  private:
    std::vector<SerialPortControl*> lines_;
    std::vector<std::unique_ptr<Output>> outputs_;
};

}  // namespace kf
