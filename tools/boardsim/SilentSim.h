#pragma once

#include "boardsim/BoardSim.h"

namespace kf::boardsim {

// A port with a device that never answers: only the byte log.
class SilentBoard : public Board {
  public:
    void received(std::string_view bytes, Link&) override { count_ += bytes.size(); }
    std::string summary() const override { return std::to_string(count_) + " bytes, no answer"; }

  private:
    std::size_t count_ = 0;
};

class SilentSim : public BoardSim {
  public:
    explicit SilentSim(SimOptions sim = {}) : BoardSim(std::make_unique<SilentBoard>(), sim) {}
};

}  // namespace kf::boardsim
