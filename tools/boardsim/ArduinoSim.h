#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Protocol.h"  // the firmware's parser (kf_fw_logic)
#include "boardsim/BoardSim.h"

namespace kf::boardsim {

enum class ArduinoType { ET, AL, TM };

// "ET", "AL" or "TM".
const char* arduinoCode(ArduinoType type);

struct ArduinoOptions {
    ArduinoType type = ArduinoType::TM;
    // Text sent after the type code in the answer to "90/".
    std::string identifyExtra;
    // Replaces the whole answer, e.g. "tm" for a board answering in lower case.
    std::optional<std::string> identifyReply;
    // A Nano resets when its port opens and ignores the line for this long.
    std::chrono::milliseconds bootDelay{0};
    // The search sends "(ZMD)" to every port before asking "90/"; that is no fault.
    bool tolerateIcp12Probe = true;
    // Bound on the message log for long runs.
    std::size_t messagesKept = 100000;
};

struct ArduinoMessage {
    Clock::time_point time;  // arrival of the closing "/"
    int command = 0;
    std::string argument;  // as on the wire; empty for "90/"
    bool valid = false;    // false when flagged
};

struct ArduinoState {
    std::optional<int> pattern;       // last valid "1/P/"
    std::optional<int> peak;          // last valid "4/K/"
    std::optional<std::string> text;  // last valid "9/text/"
    unsigned identifyCount = 0;
    unsigned patternCount = 0;
    unsigned peakCount = 0;
    unsigned textCount = 0;
    unsigned probeCount = 0;                     // tolerated "(ZMD)" probes
    std::size_t bootDropped = 0;                 // bytes that arrived while the board was booting
    std::optional<Clock::time_point> bootUntil;  // end of the last boot
    std::vector<ArduinoMessage> messages;        // complete messages, in order
    std::size_t messageCount = 0;                // also those beyond the kept log
};

// The Arduino firmware: "/"-closed fields, the first the decimal command code. A bad field
// is flagged and the next field is read as a command code again. The grammar is the
// firmware's (firmware/arduino/kleurflits/Protocol.h); the checks of which type may get which
// message are the simulator's own.
class ArduinoBoard : public Board {
  public:
    explicit ArduinoBoard(ArduinoOptions options = {});

    void opened(Link& link) override;
    void closed(Link& link) override;
    void received(std::string_view bytes, Link& link) override;
    std::string summary() const override;

    const ArduinoState& state() const { return state_; }

  private:
    void handle(const fw::Event& event, Link& link);
    void message(const fw::Event& event, Link& link);
    void record(int command, std::string argument, bool valid, Link& link);

    ArduinoOptions options_;
    ArduinoState state_;
    // The firmware's own parser, made strict: the simulator flags what a board would let pass.
    fw::Parser parser_;
};

class ArduinoSim : public BoardSim {
  public:
    explicit ArduinoSim(ArduinoOptions options = {}, SimOptions sim = {});

    ArduinoState state() const;
    bool waitForState(const std::function<bool(const ArduinoState&)>& pred,
                      Clock::duration timeout) const;

  private:
    const ArduinoBoard& arduino() const { return static_cast<const ArduinoBoard&>(board()); }
};

}  // namespace kf::boardsim
