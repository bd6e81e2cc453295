#include "devices/Arduino.h"

namespace Arduino {

std::string patternMessage(std::int32_t pattern) {
    return "1/" + std::to_string(pattern) + "/";
}

std::string peakMessage(std::int32_t mask) {
    return "4/" + std::to_string(mask) + "/";
}

std::string typeCodeOf(std::string_view reply) {
    return std::string(reply.substr(0, 2));
}

bool isKnownType(const std::string& code) {
    return code == "ET" || code == "AL" || code == "TM";
}

std::string frameMessages(const std::string& type, std::int32_t pattern, std::int32_t peak,
                          bool v13) {
    if (!isKnownType(type)) {
        return {};
    }
    std::string messages = patternMessage(pattern);
    if ((type == "AL" && peak != 0) || (type == "TM" && v13)) {
        messages += peakMessage(peak);
    }
    return messages;
}

}  // namespace Arduino
