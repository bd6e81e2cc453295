#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>

#include "boardsim/BoardSim.h"

namespace kf::boardsim {

struct GarbageOptions {
    // Each read is answered with 1..maxReply random bytes.
    std::size_t maxReply = 16;
    // Also send on its own, all the time, at bytesPerSecond.
    bool flood = false;
    std::size_t bytesPerSecond = 2000;
    std::uint32_t seed = 1;
};

// A device that answers noise. The noise never holds the letters of a board's answer
// ("ZMD", "ET", "AL", "TM"), so it can never pass for a board by chance.
class GarbageBoard : public Board {
  public:
    explicit GarbageBoard(GarbageOptions options = {});

    void received(std::string_view bytes, Link& link) override;
    std::chrono::milliseconds tickInterval() const override;
    void tick(Link& link) override;
    std::string summary() const override;

  private:
    std::string noise(std::size_t count);

    GarbageOptions options_;
    std::mt19937 random_;
    std::size_t receivedCount_ = 0;
};

class GarbageSim : public BoardSim {
  public:
    explicit GarbageSim(GarbageOptions options = {}, SimOptions sim = {})
        : BoardSim(std::make_unique<GarbageBoard>(options), sim) {}
};

}  // namespace kf::boardsim
