#include "devices/Tm1638.h"

#include "core/SharedState.h"

namespace Tm1638 {

std::string displayText(std::int16_t mode, int side) {
    switch (mode) {
        case kModeEnd:
            return " in out /";
        case kModeOff:
            return "-  OFF -/";
        case kModeSideName:
            return side == kf::Links ? "LEFT/" : "   RIGHT/";
        default:
            return {};
    }
}

std::string textMessage(const std::string& text) {
    return "9/" + text;
}

std::string labelCaption(int side, std::int16_t port, const std::string& type, bool v13) {
    return (side == kf::Links ? " Arduino Left Com: " : " Arduino Right Com: ") +
           std::to_string(port) + " " + type + (v13 ? " V1.3" : " V1.1");
}

}  // namespace Tm1638
