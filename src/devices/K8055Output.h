#pragma once

#include "devices/Output.h"
#include "devices/k8055d.h"

namespace kf {

// One side's K8055 card: its eight digital outputs a frame, written on the card's own
// writer thread.
class K8055Output : public Output {
  public:
    K8055Output(SharedState& state, int side, k8055d::K8055Driver& driver)
        : state_(state), side_(side), driver_(driver) {}

    Moment moment() const override { return Moment::FrameStart; }
    void take(const LampFrame& frame) override;
    // 0 to the card, enabled or not; finishing waits for the report to go out, since the
    // program ends right after and takes the writer thread with it.
    void startSwitchOff() override;
    bool finishSwitchOff() override;
    State state() const override;
    std::optional<BoardKind> kind() const override { return BoardKind::K8055; }
    int side() const override { return side_; }
    bool join(const Arrival& arrival) override;
    std::string name() const override;
    // The driver found that card's writes failing, or taken again: when it is this side's
    // card, the output says so.
    void presenceChanged(std::int32_t address, bool present);

  private:
    SharedState& state_;
    const int side_;
    k8055d::K8055Driver& driver_;
};

}  // namespace kf
