#include "app/LampLabel.h"

#include <QPainter>

#include "app/Controls.h"

namespace kf {

LampLabel::LampLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LampLabel::setLampColour(std::uint32_t colour) {
    if (colour != colour_) {
        colour_ = colour;
        update();
    }
}

void LampLabel::paintEvent(QPaintEvent*) {
    if (laidOut_ != text()) {
        laidOut_ = text();
        caption_.setText(laidOut_);
        caption_.setTextFormat(Qt::PlainText);
        caption_.prepare(QTransform(), font());
    }
    QPainter painter(this);
    painter.fillRect(rect(), vbColor(colour_));
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    // Where a label puts its text: at the left, centred from top to bottom.
    const QSizeF size = caption_.size();
    painter.drawStaticText(QPointF(contentsRect().left(), (height() - size.height()) / 2.0),
                           caption_);
}

}  // namespace kf
