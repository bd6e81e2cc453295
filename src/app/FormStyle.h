#pragma once

#include <QProxyStyle>

namespace kf {

// Fusion with the check box indicator drawn closer to its caption, so that captions such as
// "Auto level" fit the narrow switches of the window's fixed layout.
class FormStyle : public QProxyStyle {
  public:
    FormStyle();
    int pixelMetric(PixelMetric metric, const QStyleOption* option = nullptr,
                    const QWidget* widget = nullptr) const override;
};

}  // namespace kf
