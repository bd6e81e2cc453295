#pragma once

#include <chrono>
#include <functional>

struct pa_threaded_mainloop;
struct pa_mainloop_api;
struct pa_time_event;
struct pa_defer_event;
struct timeval;

namespace modBass {

// libpulse's threaded main loop: the capture thread and the lock that guards every libpulse
// object used on it. The user-interface thread starts and stops it; between lock() and unlock()
// it may use those objects and wait() for the capture thread to report.
class PulseMainLoop {
  public:
    PulseMainLoop() = default;
    ~PulseMainLoop();  // stops a running loop
    PulseMainLoop(const PulseMainLoop&) = delete;
    PulseMainLoop& operator=(const PulseMainLoop&) = delete;

    // Creates the loop and starts its thread; false when libpulse could not.
    bool start(const char* threadName);
    // Joins the thread and frees the loop. Not under the lock, never on the loop's own thread.
    void stop();
    bool running() const { return ml_ != nullptr; }
    bool inLoopThread() const;

    void lock();
    void unlock();
    class Lock {
      public:
        explicit Lock(PulseMainLoop& loop) : loop_(loop) { loop_.lock(); }
        ~Lock() { loop_.unlock(); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        PulseMainLoop& loop_;
    };

    // The rest needs a running loop and the lock (the loop's callbacks hold it).
    pa_mainloop_api* api();
    // Wakes whoever waits in wait().
    void signal();
    // Waits, lock held, until done() holds or the timeout passes; returns done(). done() is
    // checked whenever the loop signals, and the timeout signals too.
    bool wait(std::chrono::milliseconds timeout, const std::function<bool()>& done);

    // A timer on the loop that first fires `after` from now; restart it from its callback to
    // make it periodic. nullptr when libpulse refused.
    using TimerCallback = void (*)(pa_mainloop_api*, pa_time_event*, const timeval*, void*);
    pa_time_event* newTimer(std::chrono::milliseconds after, TimerCallback cb, void* userdata);
    void restartTimer(pa_time_event* e, std::chrono::milliseconds after);
    void freeTimer(pa_time_event*& e);

    // An event that runs its callback on the loop's next iteration while enabled.
    using DeferCallback = void (*)(pa_mainloop_api*, pa_defer_event*, void*);
    pa_defer_event* newDeferred(DeferCallback cb, void* userdata);  // starts disabled
    void enableDeferred(pa_defer_event* e, bool on);
    void freeDeferred(pa_defer_event*& e);

  private:
    pa_threaded_mainloop* ml_ = nullptr;
};

}  // namespace modBass
