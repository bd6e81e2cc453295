#include "app/PictureBox.h"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cstring>

namespace kf {

PictureBox::PictureBox(QWidget* parent)
    : QFrame(parent), image_(kPictureWidth, kPictureHeight, QImage::Format_RGB32) {
    image_.fill(Qt::black);
}

void PictureBox::setBitmapInfo(const SpectrumBitmap& info) {
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        const RgbQuad& q = info.SpectrumPalette[i];
        palette_[i] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
    shown_.clear();  // the next frame is drawn with the new colours
}

void PictureBox::showPixels(const SpectrumPixels& pixels) {
    const std::size_t used = static_cast<std::size_t>(kPictureWidth) * kPictureHeight;
    if (pixels.size() < used) {
        return;
    }
    // The picture is drawn anew every frame, but repainting the same bars changes nothing.
    if (hasImage_ && shown_.size() >= used &&
        std::memcmp(shown_.data(), pixels.data(), used) == 0) {
        return;
    }
    shown_.assign(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(used));
    // Stored bottom-up: pixel row y is image line height - 1 - y.
    static const std::array<std::uint8_t, kPictureWidth> kEmptyRow{};
    for (int y = 0; y < kPictureHeight; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image_.scanLine(kPictureHeight - 1 - y));
        const std::uint8_t* row = pixels.data() + kPictureWidth * y;
        // Most rows lie above every bar: one fill instead of a look-up per pixel.
        if (std::memcmp(row, kEmptyRow.data(), kPictureWidth) == 0) {
            std::fill(line, line + kPictureWidth, palette_[0]);
            continue;
        }
        for (int x = 0; x < kPictureWidth; ++x) {
            line[x] = palette_[row[x]];
        }
    }
    if (!hasImage_) {
        // From now on the image covers the whole box: nothing below it needs painting.
        hasImage_ = true;
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAutoFillBackground(false);
    }
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
