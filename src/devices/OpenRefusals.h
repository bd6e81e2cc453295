#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kf {

// Serial devices the user may not open (not in the group that owns them): each is named once,
// with what to do, instead of the board simply never showing.
class OpenRefusals {
  public:
    explicit OpenRefusals(std::ostream& out);

    // The device refused an open for lack of permission: the first time for this device the
    // user is told on `out`, and true is returned.
    bool refused(const std::string& path);
    // What the label of a side without a board says: why, and what to do; empty while no
    // device was refused.
    std::string toolTip() const;

  private:
    std::ostream& out_;
    std::vector<std::string> paths_;
};

}  // namespace kf
