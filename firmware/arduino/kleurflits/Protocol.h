// The message grammar of the Arduino lamp boards: "/"-closed fields, the first one the decimal
// command code. Plain C++11 without the standard library or the heap, so that the same code
// runs on the ATmega328P, in the board simulator and in the tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kf {
namespace fw {

enum Command : uint8_t {
    kPattern = 1,
    kPeak = 4,
    kText = 9,
    kIdentify = 90,
};

const uint8_t kMaxText = 8;
// Longest field kept; anything longer is counted, not stored. Large enough to quote a text
// that is a little too long.
const uint8_t kFieldCapacity = 16;

enum class Fault : uint8_t {
    None,
    EmptyField,      // "/" with nothing before it
    NotDecimal,      // a character other than 0-9 in a number
    LeadingZero,     // "07", "00"
    AboveMax,        // above 255
    UnknownCommand,  // a valid number that is no command code
    TextTooLong,     // more than kMaxText characters
    NotPrintable,    // a text byte outside 0x20-0x7e
    FieldTooLong,    // more than kFieldCapacity characters
};

const char* faultText(Fault fault);

struct Event {
    enum Kind : uint8_t {
        None,     // nothing complete yet
        Probe,    // the "(ZMD)" probe was dropped
        Message,  // a complete, valid message
        Bad,      // a field was thrown away; the next field is a command code again
    };
    Kind kind = None;
    Fault fault = Fault::None;
    // For Message, and for Bad when the command field itself was fine: the command code.
    // 0 when the command field was the bad one.
    uint8_t command = 0;
    uint8_t value = 0;  // the number of "1/P/" and "4/K/"
    // The bad or argument field as received, without its "/": at most kFieldCapacity bytes,
    // not terminated. For "9/text/" it is the text.
    const char* field = nullptr;
    uint8_t length = 0;
    uint16_t fullLength = 0;  // the field's real length, saturating at 65535
};

struct ParserOptions {
    // A non-digit throws away what a command field has collected, so the digits after it are
    // the code: a board must read "(ZMD)90/" as 90. Off: the whole field must be the number.
    bool lenientCommand = true;
    // Drop "(ZMD)" as soon as it stands alone in a command field.
    bool dropProbe = true;
};

class Parser {
  public:
    explicit Parser(ParserOptions options = ParserOptions());

    // One byte from the line. The event, if any, refers to the parser's own buffer and stays
    // valid until the next call.
    Event feed(uint8_t byte);

    void reset();
    // True between messages: nothing collected.
    bool idle() const { return state_ == State::Command && fullLength_ == 0; }
    // The command code being read after, 0 while the command field itself is read.
    uint8_t pendingCommand() const { return state_ == State::Command ? 0 : command_; }
    const char* pendingField() const { return field_; }
    uint8_t pendingLength() const { return length_; }

  private:
    enum class State : uint8_t { Command, Number, Text };

    Event fieldDone();
    Fault numberFault(uint8_t& value) const;
    void clearField();

    ParserOptions options_;
    State state_ = State::Command;
    uint8_t command_ = 0;
    char field_[kFieldCapacity];
    uint8_t length_ = 0;
    uint16_t fullLength_ = 0;
};

}  // namespace fw
}  // namespace kf
