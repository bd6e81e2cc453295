#pragma once

#include <QFrame>
#include <QImage>
#include <QRect>
#include <array>

#include "audio/SpectrumPicture.h"

namespace kf {

// A picture box that shows one bar picture: the bottom-up palette pixels turned into an
// image, drawn unscaled at the top-left corner and clipped to the box.
class PictureBox : public QFrame {
    Q_OBJECT
  public:
    explicit PictureBox(QWidget* parent = nullptr);

    void setBitmapInfo(const SpectrumBitmap& info);
    // Takes a frame's pixels and repaints what differs from the picture on screen.
    void showPixels(const SpectrumPixels& pixels);

    // The picture is compared and converted in strips of one bar's pitch, so that a bar that
    // moves is repainted without the bars beside it.
    static constexpr int kStripWidth = kBarPitch;

  signals:
    void clicked();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    static constexpr int kStrips = (kPictureWidth + kStripWidth - 1) / kStripWidth;

    // Kept ready to draw in the screen's format. With music every bar moves every frame, a
    // hundred times a second: only the strips of the lines that changed are converted, only
    // the rectangle around them is repainted, the rest of the picture stays as it was.
    QImage image_;
    std::array<QRgb, 256> palette_{};
    SpectrumPixels pending_;                             // the newest frame's pixels
    SpectrumPixels painted_;                             // what image_ shows
    std::array<std::uint16_t, kPictureHeight> stale_{};  // per image line, one bit per strip
    bool hasImage_ = false;

    QRect visibleRect() const;  // in image coordinates
    void markAllStale();
    void refreshImage();
};

}  // namespace kf
