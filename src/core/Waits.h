#pragma once

#include <chrono>

namespace kf {

// Waits that keep the window alive: timers fire and clicks are handled while they run.
class Waits {
  public:
    virtual ~Waits() = default;
    // Handles events until the duration has passed on the monotonic clock.
    virtual void waitFor(std::chrono::milliseconds duration) = 0;
    // Handles the events that are pending now, once.
    virtual void dispatchOnce() = 0;
};

// The Qt implementation: a nested event loop until a deadline, no busy loop.
class EventLoopWaits : public Waits {
  public:
    void waitFor(std::chrono::milliseconds duration) override;
    void dispatchOnce() override;
};

}  // namespace kf
