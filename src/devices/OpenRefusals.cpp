#include "devices/OpenRefusals.h"

#include <algorithm>

namespace kf {

namespace {

// Serial devices belong to the group dialout on Debian and its kind; membership only counts
// from the next login.
constexpr const char* kRemedy =
    "add yourself to the group dialout (sudo adduser $USER dialout), then log out and in again";

}  // namespace

OpenRefusals::OpenRefusals(std::ostream& out) : out_(out) {}

bool OpenRefusals::refused(const std::string& path) {
    if (std::find(paths_.begin(), paths_.end(), path) != paths_.end()) {
        return false;
    }
    paths_.push_back(path);
    out_ << "kleurflits-stereo: no permission to open " << path << "; " << kRemedy << ".\n";
    out_.flush();
    return true;
}

std::string OpenRefusals::toolTip() const {
    if (paths_.empty()) {
        return {};
    }
    std::string tip = "No permission to open";
    for (std::size_t i = 0; i < paths_.size(); ++i) {
        tip += (i == 0 ? " " : ", ") + paths_[i];
    }
    tip += ": ";
    tip += kRemedy;
    tip += ".";
    return tip;
}

}  // namespace kf
