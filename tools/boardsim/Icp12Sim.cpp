#include "boardsim/Icp12Sim.h"

#include <bit>

#include "boardsim/Escape.h"

namespace kf::boardsim {
namespace {

constexpr std::array<const char*, 8> kPins = {"RA0", "RA1", "RA2", "RA3",
                                              "RA5", "RB0", "RB1", "RB2"};
constexpr std::string_view kArduinoProbe = "90/";
// Longest text between "(" and ")": "RA0o".
constexpr std::size_t kMaxCommandText = 4;

int outputOfPin(std::string_view pin) {
    for (std::size_t i = 0; i < kPins.size(); ++i) {
        if (pin == kPins[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

const char* icp12Pin(int output) {
    return output >= 1 && output <= 8 ? kPins[static_cast<std::size_t>(output - 1)] : "";
}

std::uint8_t Icp12State::lit() const {
    std::uint8_t mask = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        if (setUp[i] && latch[i]) {
            mask |= static_cast<std::uint8_t>(1u << i);
        }
    }
    return mask;
}

unsigned Icp12State::switchCount() const {
    unsigned total = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        total += onCount[i] + offCount[i];
    }
    return total;
}

Icp12Board::Icp12Board(Icp12Options options) : options_(std::move(options)) {}

void Icp12Board::received(std::string_view bytes, Link& link) {
    for (char c : bytes) {
        byte(c, link);
    }
}

void Icp12Board::closed(Link& link) {
    if (mode_ == Mode::Command) {
        link.flag("incomplete command at close: " + quoted("(" + pending_));
    } else if (mode_ == Mode::Stray) {
        link.flag("stray bytes outside a command: " + quoted(pending_));
    }
    mode_ = Mode::Idle;
    pending_.clear();
    breakFrame();
}

void Icp12Board::byte(char c, Link& link) {
    switch (mode_) {
        case Mode::Command:
            if (c == ')') {
                execute(link);
                mode_ = Mode::Idle;
            } else if (c == '(') {
                link.flag("malformed command, no closing ')': " + quoted("(" + pending_));
                breakFrame();
                pending_.clear();
            } else if (pending_.size() == kMaxCommandText) {
                link.flag("malformed command, too long: " + quoted("(" + pending_ + c));
                breakFrame();
                mode_ = Mode::Skip;
            } else {
                pending_ += c;
            }
            return;
        case Mode::Stray:
            if (c == '(') {
                link.flag("stray bytes outside a command: " + quoted(pending_));
                break;
            }
            pending_ += c;
            if (options_.tolerateArduinoProbe && pending_ == kArduinoProbe) {
                ++state_.probeCount;
                mode_ = Mode::Idle;
            } else if (!options_.tolerateArduinoProbe || !kArduinoProbe.starts_with(pending_)) {
                link.flag("stray bytes outside a command: " + quoted(pending_));
                mode_ = Mode::Skip;
            }
            return;
        case Mode::Skip:
            if (c != '(') {
                return;
            }
            break;
        case Mode::Idle:
            if (c != '(') {
                breakFrame();
                mode_ = Mode::Stray;
                pending_.assign(1, c);
                if (!options_.tolerateArduinoProbe || !kArduinoProbe.starts_with(pending_)) {
                    link.flag("stray bytes outside a command: " + quoted(pending_));
                    mode_ = Mode::Skip;
                }
                return;
            }
            break;
    }
    // Every path that gets here has just seen "(".
    mode_ = Mode::Command;
    pending_.clear();
}

void Icp12Board::execute(Link& link) {
    const std::string text = pending_;
    pending_.clear();
    const std::string command = "(" + text + ")";
    if (text == "ZMD") {
        ++state_.identifyCount;
        ++state_.commandCount;
        breakFrame();
        link.send(options_.identifyReply);
        return;
    }
    bool shaped = text.size() == 4 && text[0] == 'R' && (text[1] == 'A' || text[1] == 'B') &&
                  text[2] >= '0' && text[2] <= '7' &&
                  (text[3] == 'o' || text[3] == '0' || text[3] == '1');
    if (!shaped) {
        link.flag("malformed command: " + quoted(command));
        breakFrame();
        return;
    }
    int index = outputOfPin(std::string_view(text).substr(0, 3));
    if (index < 0) {
        link.flag("unknown pin " + text.substr(0, 3) + ": " + quoted(command));
        breakFrame();
        return;
    }
    auto i = static_cast<std::size_t>(index);
    ++state_.commandCount;
    if (text[3] == 'o') {
        state_.setUp[i] = true;
        ++state_.setUpCount[i];
        breakFrame();
        return;
    }
    bool on = text[3] == '1';
    if (!state_.setUp[i]) {
        link.flag("output " + std::to_string(index + 1) +
                  " switched before its set-up: " + quoted(command));
    }
    state_.latch[i] = on;
    ++(on ? state_.onCount : state_.offCount)[i];
    if (index == 0) {
        framePos_ = 0;
        frameBits_ = 0;
    }
    if (framePos_ == index) {
        frameBits_ |= static_cast<std::uint8_t>(on ? 1u << i : 0u);
        framePos_ = index + 1;
        if (framePos_ == 8) {
            state_.lastFrame = frameBits_;
            ++state_.frameCount;
            breakFrame();
        }
    } else {
        breakFrame();
    }
    if (!options_.switchReply.empty()) {
        link.send(options_.switchReply);
    }
}

std::string Icp12Board::summary() const {
    return lampDots(state_.lit());
}

Icp12Sim::Icp12Sim(Icp12Options options, SimOptions sim)
    : BoardSim(std::make_unique<Icp12Board>(std::move(options)), sim) {}

Icp12State Icp12Sim::state() const {
    return withLock([&] { return icp12().state(); });
}

bool Icp12Sim::waitForState(const std::function<bool(const Icp12State&)>& pred,
                            Clock::duration timeout) const {
    return waitLocked([&] { return pred(icp12().state()); }, timeout);
}

}  // namespace kf::boardsim
