#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kf::boardsim {

// Bytes as readable text: printable ASCII as is, backslash and the rest as \xNN.
std::string escaped(std::string_view bytes);
// The same between double quotes, for violation reports.
std::string quoted(std::string_view bytes);

// Eight lamps as dots, lamp 1 (bit 0) first: filled for lit.
std::string lampDots(std::uint8_t mask);

}  // namespace kf::boardsim
