#include "devices/OpenRefusals.h"

#include <algorithm>

namespace kf {

namespace {

const char* remedy(OpenRefusals::Device device) {
    // Serial devices belong to the group dialout on Debian and its kind; membership only
    // counts from the next login. hidraw nodes are root's alone until a udev rule gives them
    // to the user at the computer, and a rule only acts on a board plugged in after it.
    return device == OpenRefusals::Device::Serial
               ? "add yourself to the group dialout (sudo adduser $USER dialout), then log out "
                 "and in again"
               : "install the udev rule packaging/udev/70-kleurflits-k8055.rules (see README), "
                 "then plug the board in again";
}

}  // namespace

OpenRefusals::OpenRefusals(std::ostream& out) : out_(out) {}

bool OpenRefusals::refused(const std::string& path, Device device) {
    std::vector<std::string>& paths = paths_[static_cast<int>(device)];
    if (std::find(paths.begin(), paths.end(), path) != paths.end()) {
        return false;
    }
    paths.push_back(path);
    out_ << "kleurflits-stereo: no permission to open " << path << "; " << remedy(device) << ".\n";
    out_.flush();
    return true;
}

std::string OpenRefusals::toolTip(Device device) const {
    const std::vector<std::string>& paths = paths_[static_cast<int>(device)];
    if (paths.empty()) {
        return {};
    }
    std::string tip = "No permission to open";
    for (std::size_t i = 0; i < paths.size(); ++i) {
        tip += (i == 0 ? " " : ", ") + paths[i];
    }
    tip += ": ";
    tip += remedy(device);
    tip += ".";
    return tip;
}

}  // namespace kf
