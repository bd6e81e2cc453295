#include "Protocol.h"

namespace kf {
namespace fw {
namespace {

const char kProbe[] = "(ZMD)";
const uint8_t kProbeLength = 5;

bool isDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

}  // namespace

const char* faultText(Fault fault) {
    switch (fault) {
        case Fault::None:
            return "no fault";
        case Fault::EmptyField:
            return "empty field";
        case Fault::NotDecimal:
            return "not a decimal number";
        case Fault::LeadingZero:
            return "leading zero";
        case Fault::AboveMax:
            return "value above 255";
        case Fault::UnknownCommand:
            return "unknown command";
        case Fault::TextTooLong:
            return "text longer than 8 characters";
        case Fault::NotPrintable:
            return "not printable ASCII";
        case Fault::FieldTooLong:
            return "field too long";
    }
    return "";
}

Parser::Parser(ParserOptions options) : options_(options) {}

void Parser::reset() {
    state_ = State::Command;
    command_ = 0;
    clearField();
}

void Parser::clearField() {
    length_ = 0;
    fullLength_ = 0;
}

Event Parser::feed(uint8_t byte) {
    if (byte == '/') {
        Event event = fieldDone();
        // The event still points at field_; only the counts are cleared.
        clearField();
        return event;
    }
    if (state_ == State::Command && options_.lenientCommand && !isDigit(byte)) {
        // A code is digits only: whatever came before the last non-digit is no part of it.
        clearField();
        return Event();
    }
    if (fullLength_ < 0xffff) {
        ++fullLength_;
    }
    if (length_ < kFieldCapacity) {
        field_[length_++] = static_cast<char>(byte);
    }
    if (state_ == State::Command && options_.dropProbe && fullLength_ == kProbeLength) {
        bool probe = true;
        for (uint8_t i = 0; i < kProbeLength; ++i) {
            probe = probe && field_[i] == kProbe[i];
        }
        if (probe) {
            clearField();
            Event event;
            event.kind = Event::Probe;
            return event;
        }
    }
    return Event();
}

Fault Parser::numberFault(uint8_t& value) const {
    if (length_ == 0) {
        return Fault::EmptyField;
    }
    for (uint8_t i = 0; i < length_; ++i) {
        if (!isDigit(static_cast<uint8_t>(field_[i]))) {
            return Fault::NotDecimal;
        }
    }
    if (length_ > 1 && field_[0] == '0') {
        return Fault::LeadingZero;
    }
    if (length_ > 3) {
        return Fault::AboveMax;
    }
    uint16_t v = 0;
    for (uint8_t i = 0; i < length_; ++i) {
        v = static_cast<uint16_t>(v * 10 + (field_[i] - '0'));
    }
    if (v > 255) {
        return Fault::AboveMax;
    }
    value = static_cast<uint8_t>(v);
    return Fault::None;
}

Event Parser::fieldDone() {
    Event event;
    event.field = field_;
    event.length = length_;
    event.fullLength = fullLength_;
    const State state = state_;
    state_ = State::Command;
    if (state != State::Command) {
        event.command = command_;
    }
    if (fullLength_ > kFieldCapacity) {
        event.kind = Event::Bad;
        event.fault = Fault::FieldTooLong;
        return event;
    }
    switch (state) {
        case State::Command: {
            uint8_t code = 0;
            event.fault = numberFault(code);
            if (event.fault != Fault::None) {
                event.kind = Event::Bad;
                return event;
            }
            if (code == kIdentify) {
                event.kind = Event::Message;
                event.command = code;
                event.length = 0;
                event.fullLength = 0;
                return event;
            }
            if (code == kPattern || code == kPeak) {
                command_ = code;
                state_ = State::Number;
                return Event();
            }
            if (code == kText) {
                command_ = code;
                state_ = State::Text;
                return Event();
            }
            event.kind = Event::Bad;
            event.fault = Fault::UnknownCommand;
            return event;
        }
        case State::Number: {
            event.fault = numberFault(event.value);
            event.kind = event.fault == Fault::None ? Event::Message : Event::Bad;
            return event;
        }
        case State::Text: {
            if (length_ > kMaxText) {
                event.fault = Fault::TextTooLong;
            }
            for (uint8_t i = 0; i < length_ && event.fault == Fault::None; ++i) {
                const uint8_t c = static_cast<uint8_t>(field_[i]);
                if (c < 0x20 || c > 0x7e) {
                    event.fault = Fault::NotPrintable;
                }
            }
            event.kind = event.fault == Fault::None ? Event::Message : Event::Bad;
            return event;
        }
    }
    return event;
}

}  // namespace fw
}  // namespace kf
