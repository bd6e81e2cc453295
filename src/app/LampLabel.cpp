#include "app/LampLabel.h"

#include <QEvent>
#include <QPainter>
#include <cmath>

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

void LampLabel::changeEvent(QEvent* event) {
    // A new font, text colour or style draws every face anew.
    faces_.clear();
    laidOut_.clear();
    QLabel::changeEvent(event);
}

void LampLabel::resizeEvent(QResizeEvent* event) {
    faces_.clear();
    QLabel::resizeEvent(event);
}

void LampLabel::drawLamp(QPainter& painter) const {
    painter.fillRect(rect(), vbColor(colour_));
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    // Where a label puts its text: at the left, centred from top to bottom.
    const QSizeF size = caption_.size();
    painter.drawStaticText(QPointF(contentsRect().left(), (height() - size.height()) / 2.0),
                           caption_);
}

const QImage& LampLabel::face() {
    if (laidOut_ != text()) {
        laidOut_ = text();
        caption_.setText(laidOut_);
        caption_.setTextFormat(Qt::PlainText);
        caption_.prepare(QTransform(), font());
        faces_.clear();
    }
    for (const auto& [colour, image] : faces_) {
        if (colour == colour_) {
            return image;
        }
    }
    const qreal ratio = devicePixelRatioF();
    QImage image((QSizeF(size()) * ratio).toSize(), QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    // The screen's resolution, so that the caption's point size gives the same pixels.
    image.setDotsPerMeterX(static_cast<int>(std::lround(logicalDpiX() / 0.0254)));
    image.setDotsPerMeterY(static_cast<int>(std::lround(logicalDpiY() / 0.0254)));
    QPainter painter(&image);
    drawLamp(painter);
    painter.end();
    faces_.emplace_back(colour_, std::move(image));
    return faces_.back().second;
}

void LampLabel::paintEvent(QPaintEvent*) {
    const QImage& image = face();
    QPainter painter(this);
    painter.drawImage(QPointF(0, 0), image);
}

}  // namespace kf
