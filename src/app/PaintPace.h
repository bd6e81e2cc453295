#pragma once
// When the window paints: at most once per refresh of the screen it is on. Frames come a
// hundred times a second and a common screen shows sixty pictures a second; each paint costs a
// trip to the display server, and the paints between two refreshes are never seen.

#include <chrono>

namespace kf {

class PaintPace {
  public:
    using Clock = std::chrono::steady_clock;

    // A screen that reports no usable rate is taken as a 60 Hz one.
    static constexpr double kDefaultHz = 60.0;

    void setRefreshRate(double hz) {
        if (!(hz >= 1.0 && hz <= 1000.0)) {  // also NaN
            hz = kDefaultHz;
        }
        interval_ =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
    }

    // Whether a paint at `now` is due. A quarter of a refresh early still counts: frames and
    // refreshes of nearly the same length would otherwise lose every other paint to the
    // timer's jitter.
    bool due(Clock::time_point now) const {
        return !painted_ || now - last_ >= interval_ - interval_ / 4;
    }

    void painted(Clock::time_point now) {
        last_ = now;
        painted_ = true;
    }

    Clock::duration interval() const { return interval_; }

  private:
    Clock::duration interval_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / kDefaultHz));
    Clock::time_point last_{};
    bool painted_ = false;
};

}  // namespace kf
