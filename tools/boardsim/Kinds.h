#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "boardsim/BoardSim.h"

namespace kf::boardsim {

struct KindSettings {
    std::chrono::milliseconds bootDelay{0};  // for the Arduino kinds
};

// The boards the command line can name: icp12, icp12-lower, ardu-et, ardu-al, ardu-tm,
// lower, silent, garbage, flood.
const std::vector<std::string>& kindNames();

// A running simulator of the named kind; nullptr for an unknown name.
std::unique_ptr<BoardSim> makeSim(std::string_view kind, const KindSettings& settings = {});

}  // namespace kf::boardsim
