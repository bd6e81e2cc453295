#pragma once

#include <string>

#include "devices/OlaOutput.h"
#include "devices/Output.h"

namespace kf {

// The DMX universe through olad: sixteen channels, the left lamps then the right ones.
class DmxOutput : public Output {
  public:
    explicit DmxOutput(OlaOutput& ola) : ola_(ola) {}

    Moment moment() const override { return Moment::FrameEnd; }
    void take(const LampFrame& frame) override {
        ola_.frame(static_cast<std::uint32_t>(frame.patterns(Links)),
                   static_cast<std::uint32_t>(frame.patterns(Rechts)));
    }
    // Waits (bounded) until olad has the zeros.
    void startSwitchOff() override { ola_.switchOff(); }
    State state() const override { return ola_.connected() ? State::Open : State::Lost; }
    std::string name() const override { return "the DMX universe"; }
    // olad comes and goes on the writer's thread; the frame looks once a frame and tells.
    void frameEnded() override {
        const State now = state();
        if (now != told_) {
            told_ = now;
            notify(now);
        }
    }

  private:
    OlaOutput& ola_;
    State told_ = State::Lost;  // not yet connected at the start
};

}  // namespace kf
