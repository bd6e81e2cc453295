#include "boardsim/ArduinoSim.h"

#include "boardsim/Escape.h"

// The boards' own parser, so that the simulator and the firmware cannot drift apart.
#include "Protocol.h"

namespace kf::boardsim {
namespace {

fw::ParserOptions strictParser(const ArduinoOptions& options) {
    fw::ParserOptions parser;
    parser.lenientCommand = false;
    parser.dropProbe = options.tolerateIcp12Probe;
    return parser;
}

std::string fieldText(const fw::Event& event) {
    return std::string(event.field, event.length);
}

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

ArduinoBoard::ArduinoBoard(ArduinoOptions options)
    : options_(std::move(options)), parser_(strictParser(options_)) {}

void ArduinoBoard::opened(Link& link) {
    parser_.reset();
    if (options_.bootDelay.count() > 0) {
        state_.bootUntil = link.now() + options_.bootDelay;
    }
}

void ArduinoBoard::closed(Link& link) {
    if (!parser_.idle()) {
        std::string partial =
            parser_.pendingCommand() == 0 ? "" : std::to_string(parser_.pendingCommand()) + "/";
        partial += std::string(parser_.pendingField(), parser_.pendingLength());
        link.flag("incomplete message at close: " + quoted(partial));
    }
    parser_.reset();
}

void ArduinoBoard::received(std::string_view bytes, Link& link) {
    if (state_.bootUntil && link.now() < *state_.bootUntil) {
        state_.bootDropped += bytes.size();
        return;
    }
    for (char c : bytes) {
        handle(parser_.feed(static_cast<std::uint8_t>(c)), link);
    }
}

void ArduinoBoard::handle(const fw::Event& event, Link& link) {
    switch (event.kind) {
        case fw::Event::None:
            return;
        case fw::Event::Probe:
            ++state_.probeCount;
            return;
        case fw::Event::Message:
            message(event, link);
            return;
        case fw::Event::Bad:
            break;
    }
    const std::string field = fieldText(event);
    if (event.fault == fw::Fault::FieldTooLong) {
        link.flag("field too long: " + quoted(field) + "...");
        return;
    }
    if (event.command == 0) {
        if (event.fault == fw::Fault::UnknownCommand) {
            link.flag("unknown command " + quoted(field + "/"));
        } else {
            link.flag("bad command code " + quoted(field + "/") + ": " +
                      fw::faultText(event.fault));
        }
        return;
    }
    const std::string text = std::to_string(event.command) + "/" + field + "/";
    if (event.command == fw::kText) {
        link.flag(std::string(fw::faultText(event.fault)) + ": " + quoted(text));
    } else {
        link.flag("bad argument in " + quoted(text) + ": " + fw::faultText(event.fault));
    }
    record(event.command, field, false, link);
}

void ArduinoBoard::message(const fw::Event& event, Link& link) {
    const std::string field = fieldText(event);
    switch (event.command) {
        case fw::kIdentify:
            ++state_.identifyCount;
            record(90, "", true, link);
            link.send(options_.identifyReply
                          ? *options_.identifyReply
                          : std::string(arduinoCode(options_.type)) + options_.identifyExtra);
            return;
        case fw::kPattern:
            state_.pattern = event.value;
            ++state_.patternCount;
            record(1, field, true, link);
            return;
        case fw::kPeak:
            if (options_.type == ArduinoType::ET) {
                link.flag("peak message to an ET board: " + quoted("4/" + field + "/"));
                record(4, field, false, link);
                return;
            }
            state_.peak = event.value;
            ++state_.peakCount;
            record(4, field, true, link);
            return;
        case fw::kText:
            if (options_.type != ArduinoType::TM) {
                link.flag(std::string("text message to an ") + arduinoCode(options_.type) +
                          " board: " + quoted("9/" + field + "/"));
                record(9, field, false, link);
                return;
            }
            state_.text = field;
            ++state_.textCount;
            record(9, field, true, link);
            return;
        default:
            return;
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
