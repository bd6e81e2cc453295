#include "boardsim/Escape.h"

#include <cstdio>

namespace kf::boardsim {

std::string escaped(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += ch;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string quoted(std::string_view bytes) {
    std::string out(1, '"');
    out += escaped(bytes);
    out += '"';
    return out;
}

std::string lampDots(std::uint8_t mask) {
    std::string out;
    for (int bit = 0; bit < 8; ++bit) {
        out += (mask >> bit) & 1 ? "\u25cf" : "\u25cb";
    }
    return out;
}

}  // namespace kf::boardsim
