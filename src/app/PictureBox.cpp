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
    stale_ = true;
    if (!hasImage_) {
        // From now on the image covers the whole box: nothing below it needs painting.
        hasImage_ = true;
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAutoFillBackground(false);
    }
    update();
}

// Turns the pixels into the image when it is painted, not in the frame: a frame only copies
// its pixels, and only the part the box shows is converted.
void PictureBox::refreshImage() {
    if (!stale_) {
        return;
    }
    stale_ = false;
    const int lines = std::min(kPictureHeight, height());
    const int columns = std::min(kPictureWidth, width());
    static const std::array<std::uint8_t, kPictureWidth> kEmptyRow{};
    for (int line = 0; line < lines; ++line) {
        // Stored bottom-up: image line `line` is pixel row height - 1 - line.
        const std::uint8_t* row = shown_.data() + kPictureWidth * (kPictureHeight - 1 - line);
        auto* out = reinterpret_cast<QRgb*>(image_.scanLine(line));
        // Most rows lie above every bar: one fill instead of a look-up per pixel.
        if (std::memcmp(row, kEmptyRow.data(), static_cast<std::size_t>(columns)) == 0) {
            std::fill(out, out + columns, palette_[0]);
            continue;
        }
        for (int x = 0; x < columns; ++x) {
            out[x] = palette_[row[x]];
        }
    }
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    stale_ = true;  // more of the picture may show now
}

void PictureBox::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (!hasImage_) {
        return;
    }
    refreshImage();
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
