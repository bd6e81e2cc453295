#pragma once

#include <QImage>
#include <QLabel>
#include <QStaticText>
#include <cstdint>
#include <utility>
#include <vector>

namespace kf {

// An on-screen lamp: a label whose background is the lamp's colour. It paints that colour
// itself, because changing a widget's palette up to sixteen times a frame re-polishes it
// each time, which costs more than the whole frame's analysis. It covers its whole rectangle,
// so the block behind it is not painted again when only the lamp changes.
class LampLabel : public QLabel {
    Q_OBJECT
  public:
    explicit LampLabel(const QString& caption, QWidget* parent = nullptr);

    // colour as &HBBGGRR
    void setLampColour(std::uint32_t colour);
    std::uint32_t lampColour() const { return colour_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    std::uint32_t colour_ = 0;
    // Laid out once: the caption never changes, the lamp repaints up to a hundred times a second.
    QStaticText caption_;
    QString laidOut_;
    // The lamp drawn once in each colour it has shown (it has three: dark, on and peak), so a
    // repaint copies pixels instead of filling and laying text.
    std::vector<std::pair<std::uint32_t, QImage>> faces_;

    const QImage& face();
    void drawLamp(QPainter& painter) const;
};

}  // namespace kf
