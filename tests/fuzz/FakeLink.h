#pragma once
// A line for a simulated board's firmware without a pseudo-terminal: keeps what the board
// answers and what it flags.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "boardsim/Board.h"

namespace kffuzz {

class FakeLink : public kf::boardsim::Link {
  public:
    void send(std::string_view bytes) override { sent.append(bytes); }
    void flag(std::string violation) override { flags.push_back(std::move(violation)); }
    kf::boardsim::Clock::time_point now() const override { return {}; }

    std::string sent;
    std::vector<std::string> flags;
};

// The input cut into reads: the first byte seeds the cut points, so the fuzzer explores how
// the line splits a stream as well as the stream itself.
inline std::vector<std::string_view> reads(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string_view> out;
    if (size == 0) {
        return out;
    }
    std::uint32_t seed = data[0] | 1u;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    while (!rest.empty()) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t n = 1 + (seed >> 16) % 16;
        out.push_back(rest.substr(0, n));
        rest.remove_prefix(std::min(n, rest.size()));
    }
    return out;
}

}  // namespace kffuzz
