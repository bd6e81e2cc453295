#pragma once

#include <QRect>
#include <QScrollBar>
#include <optional>
#include <vector>

namespace kf {

// A scroll bar that repaints only when what it shows changes. The automatic level moves the
// threshold's bar up to a hundred times a second, but most steps leave the slider on the same
// pixels; painting the bar anew each time would cost more than the whole frame's analysis.
class ScrollBar : public QScrollBar {
    Q_OBJECT
  public:
    using QScrollBar::QScrollBar;

  protected:
    void sliderChange(SliderChange change) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    // What of the position reaches the screen: where the slider sits and whether an end is
    // reached (the arrow at that end may look different).
    struct Look {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look&) const = default;
    };
    // Asking the style for the slider's place costs more than the rest of a frame's step of
    // the automatic level, so each position's look is asked once until the geometry changes.
    Look look();
    void forget();
    std::vector<std::optional<Look>> looks_;
    std::optional<Look> shown_;
};

}  // namespace kf
