// What a lamp board does with the messages, apart from driving its pins: shared by the sketch,
// the board simulator's tests and the host tests. No Arduino headers, no heap.
#pragma once

#include <stdint.h>

#include "Protocol.h"

// Numeric board types for the sketch's #if; BoardType below is the same for C++ code.
#define KF_TYPE_ET 1
#define KF_TYPE_AL 2
#define KF_TYPE_TM 3

namespace kf {
namespace fw {

enum class BoardType : uint8_t { ET = KF_TYPE_ET, AL = KF_TYPE_AL, TM = KF_TYPE_TM };

// "ET", "AL" or "TM".
const char* typeCode(BoardType type);

const uint8_t kMaxReply = 2;
// The TM1638's display memory: even addresses the digits (segments and decimal point), odd
// addresses the LEDs (bit 0).
const uint8_t kDisplayBytes = 16;

enum Change : uint8_t {
    kLampsChanged = 1,
    kPeaksChanged = 2,
    kTextChanged = 4,
};

class Board {
  public:
    explicit Board(BoardType type);

    // One byte from the line. Writes the answer, if any, to reply (room for kMaxReply bytes)
    // and returns its length.
    uint8_t receive(uint8_t byte, char* reply);

    BoardType type() const { return type_; }
    uint8_t lamps() const { return lamps_; }
    uint8_t peaks() const { return peaks_; }
    // At most kMaxText characters, terminated.
    const char* text() const { return text_; }

    // Change bits since the last call.
    uint8_t takeChanges();

    // What the TM1638 shows: text on the digits, peaks on the decimal points (position 1 =
    // bit 0), lamps on the LEDs.
    void displayImage(uint8_t image[kDisplayBytes]) const;

  private:
    void apply(const Event& event);

    BoardType type_;
    Parser parser_;
    uint8_t lamps_ = 0;
    uint8_t peaks_ = 0;
    uint8_t changes_ = 0;
    char text_[kMaxText + 1];
};

}  // namespace fw
}  // namespace kf
