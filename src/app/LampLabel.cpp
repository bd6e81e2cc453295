#include "app/LampLabel.h"

#include <QPainter>

#include "app/Controls.h"

namespace kf {

void LampLabel::setLampColour(std::uint32_t colour) {
    if (colour != colour_) {
        colour_ = colour;
        update();
    }
}

void LampLabel::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.fillRect(rect(), vbColor(colour_));
    }
    QLabel::paintEvent(event);
}

}  // namespace kf
