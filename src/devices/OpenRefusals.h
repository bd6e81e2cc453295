#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kf {

// Devices the user may not open (a serial device of a group the user is not in, a K8055 without
// the udev rule): each is named once, with what to do, instead of the board simply never
// showing.
class OpenRefusals {
  public:
    enum class Device { Serial, K8055 };

    explicit OpenRefusals(std::ostream& out);

    // The device refused an open for lack of permission: the first time for this device the
    // user is told on `out`, and true is returned.
    bool refused(const std::string& path, Device device = Device::Serial);
    // What the label of a side without a board of that kind says: why, and what to do; empty
    // while no such device was refused.
    std::string toolTip(Device device = Device::Serial) const;

  private:
    std::ostream& out_;
    std::vector<std::string> paths_[2];  // by Device
};

}  // namespace kf
