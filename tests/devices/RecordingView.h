#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "devices/DeviceView.h"

namespace kf::test {

// What the window would show of the boards: each label's caption, colour and tool tip, and every
// caption in the order it was set.
class RecordingView : public DeviceView {
  public:
    void setCaption(DeviceLabel label, const std::string& caption) override {
        captions[label] = caption;
        history.emplace_back(label, caption);
    }
    void setBackColor(DeviceLabel label, std::uint32_t colour) override { colours[label] = colour; }
    void setToolTip(DeviceLabel label, const std::string& tip) override { tips[label] = tip; }

    std::vector<std::string> captionsOf(DeviceLabel label) const {
        std::vector<std::string> out;
        for (const auto& [l, c] : history) {
            if (l == label) {
                out.push_back(c);
            }
        }
        return out;
    }
    std::map<DeviceLabel, std::string> captions;
    std::map<DeviceLabel, std::uint32_t> colours;
    std::map<DeviceLabel, std::string> tips;
    std::vector<std::pair<DeviceLabel, std::string>> history;
};

}  // namespace kf::test
