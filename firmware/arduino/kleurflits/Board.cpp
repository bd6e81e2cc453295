#include "Board.h"

#include "Font.h"

namespace kf {
namespace fw {

const char* typeCode(BoardType type) {
    switch (type) {
        case BoardType::ET:
            return "ET";
        case BoardType::AL:
            return "AL";
        case BoardType::TM:
            return "TM";
    }
    return "";
}

Board::Board(BoardType type) : type_(type) {
    text_[0] = '\0';
}

uint8_t Board::receive(uint8_t byte, char* reply) {
    const Event event = parser_.feed(byte);
    if (event.kind != Event::Message) {
        return 0;
    }
    if (event.command == kIdentify) {
        const char* code = typeCode(type_);
        reply[0] = code[0];
        reply[1] = code[1];
        return 2;
    }
    apply(event);
    return 0;
}

void Board::apply(const Event& event) {
    switch (event.command) {
        case kPattern:
            if (event.value != lamps_) {
                lamps_ = event.value;
                changes_ |= kLampsChanged;
            }
            // The peak message, when one comes, follows the pattern of its frame; an AL board
            // is sent none when nothing peaks, so each pattern ends the previous frame's peaks.
            if (peaks_ != 0) {
                peaks_ = 0;
                changes_ |= kPeaksChanged;
            }
            break;
        case kPeak:
            if (type_ != BoardType::ET && event.value != peaks_) {
                peaks_ = event.value;
                changes_ |= kPeaksChanged;
            }
            break;
        case kText:
            if (type_ == BoardType::TM) {
                const uint8_t n = event.length < kMaxText ? event.length : kMaxText;
                for (uint8_t i = 0; i < n; ++i) {
                    text_[i] = event.field[i];
                }
                text_[n] = '\0';
                changes_ |= kTextChanged;
            }
            break;
        default:
            break;
    }
}

uint8_t Board::takeChanges() {
    const uint8_t changes = changes_;
    changes_ = 0;
    return changes;
}

void Board::displayImage(uint8_t image[kDisplayBytes]) const {
    bool ended = false;
    for (uint8_t i = 0; i < kDisplayBytes / 2; ++i) {
        ended = ended || text_[i] == '\0';
        uint8_t digit = ended ? 0 : glyph(text_[i]);
        if (peaks_ & (1u << i)) {
            digit |= kDecimalPoint;
        }
        image[2 * i] = digit;
        image[2 * i + 1] = (lamps_ >> i) & 1u;
    }
}

}  // namespace fw
}  // namespace kf
