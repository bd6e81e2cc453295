#pragma once

#include <string>

namespace kf {

// The about box's text: seven lines joined by single carriage returns.
std::string aboutText();

}  // namespace kf
