#pragma once

#include <cstdint>
#include <string>

// The texts for the TM1638 display modules on Arduino boards of type "TM".
namespace Tm1638 {

inline constexpr std::int16_t kModeEnd = 5;
inline constexpr std::int16_t kModeOff = 6;
inline constexpr std::int16_t kModeSideName = 7;

// The side's text for a mode, closed by "/": " in out /", "-  OFF -/", "LEFT/", "   RIGHT/".
std::string displayText(std::int16_t mode, int side);
// The text message on the wire.
std::string textMessage(const std::string& text);  // "9/" + text

// The Arduino label's caption with the version a TM board speaks.
std::string labelCaption(int side, std::int16_t port, const std::string& type, bool v13);

}  // namespace Tm1638
