#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/MessageBoxes.h"

namespace kf::test {

struct ShownBox {
    std::string text;
    std::string title;
    BoxIcon icon;
};

class RecordingBoxes : public MessageBoxes {
  public:
    void show(const std::string& text, const std::string& title, BoxIcon icon) override {
        shown.push_back({text, title, icon});
        if (onShow) {
            onShow();
        }
    }
    std::vector<ShownBox> shown;
    std::function<void()> onShow;
};

}  // namespace kf::test
