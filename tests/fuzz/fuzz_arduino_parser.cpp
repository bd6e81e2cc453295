// The Arduino simulator's field parser on any byte stream, split into reads at random: no
// crash, no dependence on where reads split, and every message it accepts follows the grammar.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "FakeLink.h"
#include "boardsim/ArduinoSim.h"

using kf::boardsim::ArduinoBoard;
using kf::boardsim::ArduinoMessage;
using kf::boardsim::ArduinoOptions;
using kf::boardsim::ArduinoState;

namespace {

bool canonicalNumber(const std::string& s) {
    if (s.empty() || s.size() > 3 || (s.size() > 1 && s[0] == '0')) {
        return false;
    }
    for (char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return std::stoi(s) <= 255;
}

bool sameMessages(const ArduinoState& a, const ArduinoState& b) {
    if (a.messages.size() != b.messages.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.messages.size(); ++i) {
        const ArduinoMessage& x = a.messages[i];
        const ArduinoMessage& y = b.messages[i];
        if (x.command != y.command || x.argument != y.argument || x.valid != y.valid) {
            return false;
        }
    }
    return a.pattern == b.pattern && a.peak == b.peak && a.text == b.text &&
           a.identifyCount == b.identifyCount && a.patternCount == b.patternCount &&
           a.peakCount == b.peakCount && a.textCount == b.textCount &&
           a.probeCount == b.probeCount && a.messageCount == b.messageCount;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    ArduinoOptions options;
    options.type = static_cast<kf::boardsim::ArduinoType>(data[0] % 3);

    kffuzz::FakeLink wholeLink;
    ArduinoBoard whole(options);
    whole.opened(wholeLink);
    whole.received(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1), wholeLink);

    kffuzz::FakeLink splitLink;
    ArduinoBoard split(options);
    split.opened(splitLink);
    for (std::string_view r : kffuzz::reads(data, size)) {
        split.received(r, splitLink);
    }
    const ArduinoState& s = split.state();
    if (!sameMessages(s, whole.state()) || splitLink.sent != wholeLink.sent ||
        splitLink.flags != wholeLink.flags) {
        std::abort();
    }
    // The board answers only "90/", always with its two-letter code.
    if (splitLink.sent != [&] {
            std::string codes;
            for (unsigned i = 0; i < s.identifyCount; ++i) {
                codes += kf::boardsim::arduinoCode(options.type);
            }
            return codes;
        }()) {
        std::abort();
    }
    for (const ArduinoMessage& m : s.messages) {
        if (!m.valid) {
            continue;
        }
        const bool ok = (m.command == 1 || m.command == 4) ? canonicalNumber(m.argument)
                        : m.command == 9
                            ? m.argument.size() <= 8 && m.argument.find('/') == std::string::npos
                        : m.command == 90 ? m.argument.empty()
                                          : false;
        if (!ok) {
            std::abort();
        }
    }
    if (s.pattern && (*s.pattern < 0 || *s.pattern > 255)) {
        std::abort();
    }
    split.summary();
    kffuzz::FakeLink closeLink;
    split.closed(closeLink);
    return 0;
}
