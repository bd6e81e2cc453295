#include "app/FormStyle.h"

#include <QStyleFactory>

namespace kf {

FormStyle::FormStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

int FormStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                           const QWidget* widget) const {
    switch (metric) {
        case PM_CheckBoxLabelSpacing:
            return 3;
        case PM_IndicatorWidth:
        case PM_IndicatorHeight:
            return 12;
        default:
            return QProxyStyle::pixelMetric(metric, option, widget);
    }
}

}  // namespace kf
