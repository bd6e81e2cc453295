#pragma once

#include <pulse/mainloop-api.h>

#include <chrono>
#include <memory>
#include <vector>

namespace modBass {

// A libpulse main loop for the one thread that owns it, run when that thread asks. libpulse's
// own plain loop may be woken from other threads, so every change to an event writes to a pipe
// and every round reads it empty again: four system calls a frame for nothing here, where no
// other thread ever touches the loop.
class PulseLoop {
  public:
    using Clock = std::chrono::steady_clock;

    PulseLoop();
    // Frees the events libpulse left, calling their destroy callbacks.
    ~PulseLoop();
    PulseLoop(const PulseLoop&) = delete;
    PulseLoop& operator=(const PulseLoop&) = delete;

    pa_mainloop_api* api() { return &api_; }

    // Waits at most `timeout` for a watched descriptor, a due timer or an enabled deferred
    // event, then runs what is ready: the deferred events if any are enabled, else the due
    // timers and the ready descriptors. Returns how many callbacks ran; -1 when poll failed.
    int iterate(std::chrono::microseconds timeout);

    bool quitRequested() const { return quit_; }

  private:
    friend struct PulseLoopApi;  // the C entry points, in the .cpp

    int dispatchDeferred();
    int dispatchTimers();
    int dispatchReady();
    void cleanUp(bool all);

    pa_mainloop_api api_{};
    std::vector<std::unique_ptr<pa_io_event>> io_;
    std::vector<std::unique_ptr<pa_time_event>> timers_;
    std::vector<std::unique_ptr<pa_defer_event>> deferred_;
    bool someDead_ = false;
    bool quit_ = false;
};

}  // namespace modBass
