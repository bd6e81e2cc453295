#include "boardsim/ArduinoSim.h"

#include "boardsim/Escape.h"

namespace kf::boardsim {
namespace {

constexpr std::string_view kIcp12Probe = "(ZMD)";
constexpr std::size_t kMaxText = 8;
// Longer fields are no message the program sends; stop collecting them.
constexpr std::size_t kMaxField = 64;

}  // namespace

const char* arduinoCode(ArduinoType type) {
    switch (type) {
        case ArduinoType::ET:
            return "ET";
        case ArduinoType::AL:
            return "AL";
        case ArduinoType::TM:
            return "TM";
    }
    return "";
}

ArduinoBoard::ArduinoBoard(ArduinoOptions options) : options_(std::move(options)) {}

void ArduinoBoard::opened(Link& link) {
    expect_ = Expect::Command;
    field_.clear();
    overlong_ = false;
    if (options_.bootDelay.count() > 0) {
        state_.bootUntil = link.now() + options_.bootDelay;
    }
}

void ArduinoBoard::closed(Link& link) {
    if (!field_.empty() || expect_ != Expect::Command) {
        std::string partial = expect_ == Expect::Command ? "" : std::to_string(command_) + "/";
        link.flag("incomplete message at close: " + quoted(partial + field_));
    }
    expect_ = Expect::Command;
    field_.clear();
    overlong_ = false;
}

void ArduinoBoard::received(std::string_view bytes, Link& link) {
    if (state_.bootUntil && link.now() < *state_.bootUntil) {
        state_.bootDropped += bytes.size();
        return;
    }
    for (char c : bytes) {
        byte(c, link);
    }
}

void ArduinoBoard::byte(char c, Link& link) {
    if (c == '/') {
        if (overlong_) {
            overlong_ = false;
            expect_ = Expect::Command;
        } else {
            fieldDone(link);
        }
        field_.clear();
        return;
    }
    if (overlong_) {
        return;
    }
    field_ += c;
    if (expect_ == Expect::Command && options_.tolerateIcp12Probe && field_ == kIcp12Probe) {
        ++state_.probeCount;
        field_.clear();
        return;
    }
    if (field_.size() > kMaxField) {
        link.flag("field too long: " + quoted(field_.substr(0, 16)) + "...");
        overlong_ = true;
    }
}

std::optional<int> ArduinoBoard::number(const std::string& field, std::string& problem) const {
    if (field.empty()) {
        problem = "empty field";
        return std::nullopt;
    }
    for (char c : field) {
        if (c < '0' || c > '9') {
            problem = "not a decimal number";
            return std::nullopt;
        }
    }
    if (field.size() > 1 && field[0] == '0') {
        problem = "leading zero";
        return std::nullopt;
    }
    if (field.size() > 3 || std::stoi(field) > 255) {
        problem = "value above 255";
        return std::nullopt;
    }
    return std::stoi(field);
}

void ArduinoBoard::fieldDone(Link& link) {
    std::string problem;
    switch (expect_) {
        case Expect::Command: {
            auto code = number(field_, problem);
            if (!code) {
                link.flag("bad command code " + quoted(field_ + "/") + ": " + problem);
                return;
            }
            command_ = *code;
            if (command_ == 90) {
                ++state_.identifyCount;
                record(90, "", true, link);
                link.send(options_.identifyReply
                              ? *options_.identifyReply
                              : std::string(arduinoCode(options_.type)) + options_.identifyExtra);
            } else if (command_ == 1 || command_ == 4) {
                expect_ = Expect::Number;
            } else if (command_ == 9) {
                expect_ = Expect::Text;
            } else {
                link.flag("unknown command " + quoted(field_ + "/"));
            }
            return;
        }
        case Expect::Number: {
            expect_ = Expect::Command;
            const std::string message = std::to_string(command_) + "/" + field_ + "/";
            auto value = number(field_, problem);
            if (!value) {
                link.flag("bad argument in " + quoted(message) + ": " + problem);
                record(command_, field_, false, link);
                return;
            }
            if (command_ == 1) {
                state_.pattern = *value;
                ++state_.patternCount;
                record(1, field_, true, link);
            } else if (options_.type == ArduinoType::ET) {
                link.flag("peak message to an ET board: " + quoted(message));
                record(4, field_, false, link);
            } else {
                state_.peak = *value;
                ++state_.peakCount;
                record(4, field_, true, link);
            }
            return;
        }
        case Expect::Text: {
            expect_ = Expect::Command;
            const std::string message = "9/" + field_ + "/";
            bool valid = true;
            if (field_.size() > kMaxText) {
                link.flag("text longer than 8 characters: " + quoted(message));
                valid = false;
            }
            if (options_.type != ArduinoType::TM) {
                link.flag(std::string("text message to an ") + arduinoCode(options_.type) +
                          " board: " + quoted(message));
                valid = false;
            }
            if (valid) {
                state_.text = field_;
                ++state_.textCount;
            }
            record(9, field_, valid, link);
            return;
        }
    }
}

void ArduinoBoard::record(int command, std::string argument, bool valid, Link& link) {
    ++state_.messageCount;
    if (state_.messages.size() < options_.messagesKept) {
        state_.messages.push_back({link.now(), command, std::move(argument), valid});
    }
}

std::string ArduinoBoard::summary() const {
    std::string out = lampDots(static_cast<std::uint8_t>(state_.pattern.value_or(0)));
    if (options_.type != ArduinoType::ET) {
        out += " peak " + lampDots(static_cast<std::uint8_t>(state_.peak.value_or(0)));
    }
    if (options_.type == ArduinoType::TM) {
        out += " [" + escaped(state_.text.value_or("")) + "]";
    }
    return out;
}

ArduinoSim::ArduinoSim(ArduinoOptions options, SimOptions sim)
    : BoardSim(std::make_unique<ArduinoBoard>(std::move(options)), sim) {}

ArduinoState ArduinoSim::state() const {
    return withLock([&] { return arduino().state(); });
}

bool ArduinoSim::waitForState(const std::function<bool(const ArduinoState&)>& pred,
                              Clock::duration timeout) const {
    return waitLocked([&] { return pred(arduino().state()); }, timeout);
}

}  // namespace kf::boardsim
