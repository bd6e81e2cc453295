#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "core/SharedState.h"
#include "devices/BoardRegistry.h"

namespace kf {

// One frame's lamps as every output takes them: bit n - 1 of a pattern is lamp n, a mask
// marks the lamps at their peak.
struct LampFrame {
    BySide<std::int32_t> patterns;
    BySide<std::int32_t> peaks;

    static LampFrame of(SharedState& state) {
        LampFrame f;
        for (int side : {Links, Rechts}) {
            f.patterns(side) = state.LedPattern(side);
            f.peaks(side) = state.Peak(side);
        }
        return f;
    }
};

// A board that joined while the show runs, as its output needs to know it.
struct Arrival {
    std::int16_t commPort = 0;  // serial boards
    std::string typeCode;       // Arduino: "ET", "AL" or "TM"
    std::int32_t address = -1;  // K8055
    bool returning = false;     // the same board as before, back on its side
};

// One board or one universe, as the frame and the end of the program reach it. The output
// encodes the lamps for its kind and hands them to its own transport; a frame it cannot take
// yet (its line still holds more than half a frame, its writer is busy) it skips whole.
class Output {
  public:
    enum class State { Absent, Open, Lost };
    // When in a frame the output takes its lamps: K8055 and Arduino boards the previous
    // frame's at its start, iCP12 boards and DMX this frame's once every band is decided.
    enum class Moment { FrameStart, FrameEnd };

    virtual ~Output() = default;

    virtual Moment moment() const = 0;
    virtual void take(const LampFrame& frame) = 0;
    // After every frame, taken or not: what the board sent back is read away.
    virtual void frameEnded() {}
    // Every lamp off, in two steps so that slow boards do it at the same time: start sends
    // the off, finish waits (bounded) until it has gone. False: the board was left as it was.
    virtual void startSwitchOff() = 0;
    virtual bool finishSwitchOff() { return true; }
    virtual State state() const = 0;
    // What the messages call it: "the board on COM3 (/dev/ttyUSB0)", "K8055 card 0 (left)".
    virtual std::string name() const = 0;

    // The one way an output says that its board went or came back while the show runs: it
    // tells whoever shows the boards, on the frame's thread, with the state it is in now.
    using StateNotice = std::function<void(const Output&, State now)>;
    void setStateNotice(StateNotice notice) { notice_ = std::move(notice); }

    // The kind and side of board this output drives; none for a universe.
    virtual std::optional<BoardKind> kind() const { return std::nullopt; }
    virtual int side() const { return 0; }
    // A board of its kind joined its side: the output takes it on (opens its line, sets it
    // up). False: the board could not be reached after all.
    virtual bool join(const Arrival&) { return false; }

  protected:
    void notify(State now) const {
        if (notice_) {
            notice_(*this, now);
        }
    }

  private:
    StateNotice notice_;
};

}  // namespace kf
