#pragma once

#include <QFrame>
#include <QImage>
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
    // Takes a frame's pixels and repaints.
    void showPixels(const SpectrumPixels& pixels);

  signals:
    void clicked();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Kept ready to draw in the screen's format: converting a palette image on every paint
    // would cost more than the whole frame's analysis.
    QImage image_;
    std::array<QRgb, 256> palette_{};
    SpectrumPixels shown_;
    bool hasImage_ = false;
    bool stale_ = false;  // shown_ holds pixels the image does not show yet

    void refreshImage();
};

}  // namespace kf
