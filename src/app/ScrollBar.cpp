#include "app/ScrollBar.h"

#include <QEvent>
#include <QStyle>
#include <QStyleOptionSlider>

namespace kf {

ScrollBar::Look ScrollBar::look() {
    const int position = sliderPosition();
    const std::size_t count = static_cast<std::size_t>(maximum() - minimum()) + 1;
    if (looks_.size() != count) {
        looks_.assign(count, std::nullopt);
    }
    const auto ask = [this] {
        QStyleOptionSlider option;
        initStyleOption(&option);
        Look l;
        l.slider = style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                           QStyle::SC_ScrollBarSlider, this);
        l.atMinimum = option.sliderPosition == option.minimum;
        l.atMaximum = option.sliderPosition == option.maximum;
        return l;
    };
    if (position < minimum() || position > maximum()) {
        return ask();  // only while a new range is being set
    }
    std::optional<Look>& cached = looks_[static_cast<std::size_t>(position - minimum())];
    if (!cached) {
        cached = ask();
    }
    return *cached;
}

void ScrollBar::forget() {
    looks_.clear();
    shown_.reset();
}

void ScrollBar::sliderChange(SliderChange change) {
    if (change != SliderValueChange) {
        forget();  // range, steps or orientation move the slider for every value
        QScrollBar::sliderChange(change);
        return;
    }
    const Look now = look();
    if (shown_ == now) {
        return;  // the same pixels as before
    }
    shown_ = now;
    QScrollBar::sliderChange(change);
}

void ScrollBar::resizeEvent(QResizeEvent* event) {
    forget();
    QScrollBar::resizeEvent(event);
}

void ScrollBar::changeEvent(QEvent* event) {
    forget();  // style, palette, enabled state, font: repaint at the next step
    QScrollBar::changeEvent(event);
}

}  // namespace kf
