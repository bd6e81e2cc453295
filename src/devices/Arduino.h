#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/SharedState.h"
#include "devices/SerialPortControl.h"

// The Arduino lamp boards: "/"-closed fields, the first one the command code.
namespace Arduino {

inline constexpr const char* kIdentify = "90/";
inline constexpr const char* kAllOff = "1/0/";
// The most a frame writes to one board: "1/255/" and "4/255/".
inline constexpr int kFrameBytes = 12;

std::string patternMessage(std::int32_t pattern);  // "1/P/"
std::string peakMessage(std::int32_t mask);        // "4/K/"
bool isKnownType(const std::string& code);         // "ET", "AL" or "TM"
// A frame's messages for a board of this type: the pattern, and the peak mask where the type
// shows it (an AL board when something peaks, a TM board speaking V1.3); nothing for an unknown
// type.
std::string frameMessages(const std::string& type, std::int32_t pattern, std::int32_t peak,
                          bool v13);
// The type code an answer to "90/" carries: its first two characters.
std::string typeCodeOf(std::string_view reply);

}  // namespace Arduino
