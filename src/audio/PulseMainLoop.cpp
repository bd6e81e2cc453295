#include "audio/PulseMainLoop.h"

#include <pulse/pulseaudio.h>

namespace modBass {

namespace {

timeval fromNow(std::chrono::milliseconds ms) {
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, static_cast<pa_usec_t>(ms.count()) * PA_USEC_PER_MSEC);
    return tv;
}

}  // namespace

PulseMainLoop::~PulseMainLoop() {
    stop();
}

bool PulseMainLoop::start(const char* threadName) {
    if (ml_ != nullptr) {
        return true;
    }
    ml_ = pa_threaded_mainloop_new();
    if (ml_ == nullptr) {
        return false;
    }
    pa_threaded_mainloop_set_name(ml_, threadName);
    if (pa_threaded_mainloop_start(ml_) < 0) {
        pa_threaded_mainloop_free(ml_);
        ml_ = nullptr;
        return false;
    }
    return true;
}

void PulseMainLoop::stop() {
    if (ml_ == nullptr || pa_threaded_mainloop_in_thread(ml_)) {
        return;  // the loop's thread cannot join itself
    }
    pa_threaded_mainloop_stop(ml_);
    pa_threaded_mainloop_free(ml_);
    ml_ = nullptr;
}

bool PulseMainLoop::inLoopThread() const {
    return ml_ != nullptr && pa_threaded_mainloop_in_thread(ml_);
}

void PulseMainLoop::lock() {
    pa_threaded_mainloop_lock(ml_);
}

void PulseMainLoop::unlock() {
    pa_threaded_mainloop_unlock(ml_);
}

pa_mainloop_api* PulseMainLoop::api() {
    return pa_threaded_mainloop_get_api(ml_);
}

void PulseMainLoop::signal() {
    pa_threaded_mainloop_signal(ml_, 0);
}

bool PulseMainLoop::wait(std::chrono::milliseconds timeout, const std::function<bool()>& done) {
    struct Timeout {
        pa_threaded_mainloop* ml;
        bool fired = false;
    } t{ml_};
    pa_time_event* e = newTimer(
        timeout,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
            auto* to = static_cast<Timeout*>(p);
            to->fired = true;
            pa_threaded_mainloop_signal(to->ml, 0);
        },
        &t);
    // Should the timer be refused or late, the steady clock still ends the wait at the next
    // signal.
    const auto deadline =
        std::chrono::steady_clock::now() + timeout + std::chrono::milliseconds(200);
    while (!done() && !t.fired && std::chrono::steady_clock::now() < deadline) {
        pa_threaded_mainloop_wait(ml_);
    }
    freeTimer(e);
    return done();
}

pa_time_event* PulseMainLoop::newTimer(std::chrono::milliseconds after, TimerCallback cb,
                                       void* userdata) {
    const timeval tv = fromNow(after);
    pa_mainloop_api* a = api();
    return a->time_new(a, &tv, cb, userdata);
}

void PulseMainLoop::restartTimer(pa_time_event* e, std::chrono::milliseconds after) {
    const timeval tv = fromNow(after);
    api()->time_restart(e, &tv);
}

void PulseMainLoop::freeTimer(pa_time_event*& e) {
    if (e != nullptr) {
        api()->time_free(e);
        e = nullptr;
    }
}

pa_defer_event* PulseMainLoop::newDeferred(DeferCallback cb, void* userdata) {
    pa_mainloop_api* a = api();
    pa_defer_event* e = a->defer_new(a, cb, userdata);
    if (e != nullptr) {
        a->defer_enable(e, 0);
    }
    return e;
}

void PulseMainLoop::enableDeferred(pa_defer_event* e, bool on) {
    api()->defer_enable(e, on ? 1 : 0);
}

void PulseMainLoop::freeDeferred(pa_defer_event*& e) {
    if (e != nullptr) {
        api()->defer_free(e);
        e = nullptr;
    }
}

}  // namespace modBass
