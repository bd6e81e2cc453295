#include "app/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>
#include <cstring>

namespace kf {

PictureBox::PictureBox(QWidget* parent)
    : QFrame(parent), image_(kPictureWidth, kPictureHeight, QImage::Format_Indexed8) {
    image_.fill(0);
}

void PictureBox::setBitmapInfo(const SpectrumBitmap& info) {
    QList<QRgb> table;
    table.reserve(256);
    for (const RgbQuad& q : info.SpectrumPalette) {
        table.append(qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue));
    }
    image_.setColorTable(table);
}

void PictureBox::showPixels(const SpectrumPixels& pixels) {
    if (pixels.size() < static_cast<std::size_t>(kPictureWidth * kPictureHeight)) {
        return;
    }
    // Stored bottom-up: pixel row y is image line height - 1 - y.
    for (int y = 0; y < kPictureHeight; ++y) {
        std::memcpy(image_.scanLine(kPictureHeight - 1 - y), pixels.data() + kPictureWidth * y,
                    kPictureWidth);
    }
    hasImage_ = true;
    update();
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (!hasImage_) {
        return;
    }
    QPainter painter(this);
    painter.setClipRect(contentsRect());
    painter.drawImage(contentsRect().topLeft(), image_);
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

}  // namespace kf
