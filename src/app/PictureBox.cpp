#include "app/PictureBox.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QRegion>
#include <algorithm>
#include <bit>
#include <cstring>

namespace kf {

namespace {

constexpr std::size_t kUsedBytes = static_cast<std::size_t>(kPictureWidth) * kPictureHeight;

// Pixel row of image line `line`: the pixels are stored bottom-up.
inline std::size_t rowOffset(int line) {
    return static_cast<std::size_t>(kPictureWidth) * (kPictureHeight - 1 - line);
}

// Whether a strip of one line differs; a whole strip in three loads, as the frame compares
// about a thousand strips a picture.
inline bool differs(const std::uint8_t* a, const std::uint8_t* b, int width) {
    static_assert(PictureBox::kStripWidth == 20);
    if (width == 20) {
        std::uint64_t a0, a1, b0, b1;
        std::uint32_t a2, b2;
        std::memcpy(&a0, a, 8);
        std::memcpy(&b0, b, 8);
        std::memcpy(&a1, a + 8, 8);
        std::memcpy(&b1, b + 8, 8);
        std::memcpy(&a2, a + 16, 4);
        std::memcpy(&b2, b + 16, 4);
        return ((a0 ^ b0) | (a1 ^ b1) | (a2 ^ b2)) != 0;
    }
    return std::memcmp(a, b, static_cast<std::size_t>(width)) != 0;
}

}  // namespace

PictureBox::PictureBox(QWidget* parent)
    : QFrame(parent), image_(kPictureWidth, kPictureHeight, QImage::Format_RGB32) {
    image_.fill(Qt::black);
}

void PictureBox::setBitmapInfo(const SpectrumBitmap& info) {
    for (std::size_t i = 0; i < palette_.size(); ++i) {
        const RgbQuad& q = info.SpectrumPalette[i];
        palette_[i] = qRgb(q.rgbRed, q.rgbGreen, q.rgbBlue);
    }
    if (hasImage_) {
        markAllStale();  // the same pixels in the new colours
        update();
    }
}

QRect PictureBox::visibleRect() const {
    const QRect contents = contentsRect();
    return QRect(0, 0, std::min(kPictureWidth, contents.width()),
                 std::min(kPictureHeight, contents.height()));
}

void PictureBox::markAllStale() {
    stale_.fill(static_cast<std::uint16_t>((1U << kStrips) - 1));
}

void PictureBox::showPixels(const SpectrumPixels& pixels) {
    if (pixels.size() < kUsedBytes) {
        return;
    }
    if (!hasImage_) {
        // From now on the image covers the whole box: nothing below it needs painting.
        hasImage_ = true;
        setAttribute(Qt::WA_OpaquePaintEvent);
        setAutoFillBackground(false);
        pending_.assign(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(kUsedBytes));
        painted_ = pending_;
        markAllStale();
        update();
        return;
    }
    // Against what is on screen, not the last frame: frames that come before a paint add up.
    const QRect visible = visibleRect();
    const auto width = static_cast<std::size_t>(visible.width());
    int top = kPictureHeight;
    int bottom = -1;
    unsigned changed = 0;  // strips changed on any line
    for (int line = 0; line < visible.height(); ++line) {
        const std::uint8_t* now = pixels.data() + rowOffset(line);
        const std::uint8_t* shown = painted_.data() + rowOffset(line);
        if (std::memcmp(now, shown, width) == 0) {
            continue;  // most lines: above every bar, or a bar that kept its height
        }
        unsigned strips = 0;
        for (int x = 0, strip = 0; x < visible.width(); x += kStripWidth, ++strip) {
            if (differs(now + x, shown + x, std::min(kStripWidth, visible.width() - x))) {
                strips |= 1U << strip;
            }
        }
        stale_[static_cast<std::size_t>(line)] |= static_cast<std::uint16_t>(strips);
        changed |= strips;
        top = std::min(top, line);
        bottom = line;
    }
    std::memcpy(pending_.data(), pixels.data(), kUsedBytes);
    if (changed != 0) {
        // One rectangle around the changed strips: cheaper to hand on than a region of them.
        const int left = static_cast<int>(std::countr_zero(changed)) * kStripWidth;
        const int right =
            std::min(visible.width(), static_cast<int>(std::bit_width(changed)) * kStripWidth);
        update(
            QRect(left, top, right - left, bottom - top + 1).translated(contentsRect().topLeft()));
    }
}

// Turns the changed pixels into the image when it is painted, not in the frame: the frame
// only compares and copies its pixels.
void PictureBox::refreshImage() {
    for (int line = 0; line < kPictureHeight; ++line) {
        std::uint16_t& strips = stale_[static_cast<std::size_t>(line)];
        if (strips == 0) {
            continue;
        }
        const std::uint8_t* row = pending_.data() + rowOffset(line);
        std::uint8_t* shown = painted_.data() + rowOffset(line);
        auto* out = reinterpret_cast<QRgb*>(image_.scanLine(line));
        for (int strip = 0; strip < kStrips; ++strip) {
            if ((strips & (1U << strip)) == 0) {
                continue;
            }
            const int from = strip * kStripWidth;
            const int to = std::min(kPictureWidth, from + kStripWidth);
            for (int x = from; x < to; ++x) {
                out[x] = palette_[row[x]];
            }
            std::memcpy(shown + from, row + from, static_cast<std::size_t>(to - from));
        }
        strips = 0;
    }
}

void PictureBox::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    if (hasImage_) {
        // Lines and columns that were out of sight were never compared: convert them all.
        painted_ = pending_;
        markAllStale();
    }
}

void PictureBox::paintEvent(QPaintEvent* event) {
    if (frameShape() != QFrame::NoFrame) {
        QFrame::paintEvent(event);
    }
    if (!hasImage_) {
        return;
    }
    refreshImage();
    const QRect contents = contentsRect();
    QPainter painter(this);
    for (const QRect& area : event->region()) {
        const QRect target = area & contents;
        if (!target.isEmpty()) {
            painter.drawImage(target.topLeft(), image_, target.translated(-contents.topLeft()));
        }
    }
}

void PictureBox::mouseReleaseEvent(QMouseEvent* event) {
    QFrame::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

}  // namespace kf
