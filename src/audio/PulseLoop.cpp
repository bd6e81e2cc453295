#include "audio/PulseLoop.h"

#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

// libpulse declares the event types and leaves them to each main loop.
struct pa_io_event {
    modBass::PulseLoop* loop;
    int fd;
    pa_io_event_flags_t events;
    pa_io_event_cb_t callback;
    void* userdata;
    pa_io_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct pa_time_event {
    modBass::PulseLoop* loop;
    bool enabled = false;
    modBass::PulseLoop::Clock::time_point due{};
    timeval asked{};  // handed back to the callback as libpulse gave it
    pa_time_event_cb_t callback;
    void* userdata;
    pa_time_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

struct pa_defer_event {
    modBass::PulseLoop* loop;
    bool enabled = true;
    pa_defer_event_cb_t callback;
    void* userdata;
    pa_defer_event_destroy_cb_t destroy = nullptr;
    bool dead = false;
};

namespace modBass {

namespace {

using Clock = PulseLoop::Clock;

// libpulse hands a loop that is not its own every time on the wall clock, its context's timers
// included; the loop keeps them on the steady clock, so a change of the date cannot stall them.
Clock::time_point dueAt(const timeval& tv) {
    using std::chrono::microseconds;
    using std::chrono::seconds;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const auto left = seconds(tv.tv_sec - now.tv_sec) + microseconds(tv.tv_usec - now.tv_usec);
    return Clock::now() + left;
}

short pollEvents(pa_io_event_flags_t flags) {
    return static_cast<short>(((flags & PA_IO_EVENT_INPUT) != 0 ? POLLIN : 0) |
                              ((flags & PA_IO_EVENT_OUTPUT) != 0 ? POLLOUT : 0) |
                              ((flags & PA_IO_EVENT_HANGUP) != 0 ? POLLHUP : 0) |
                              ((flags & PA_IO_EVENT_ERROR) != 0 ? POLLERR : 0));
}

pa_io_event_flags_t ioFlags(short revents) {
    return static_cast<pa_io_event_flags_t>(
        ((revents & POLLIN) != 0 ? PA_IO_EVENT_INPUT : 0) |
        ((revents & POLLOUT) != 0 ? PA_IO_EVENT_OUTPUT : 0) |
        ((revents & POLLHUP) != 0 ? PA_IO_EVENT_HANGUP : 0) |
        ((revents & (POLLERR | POLLNVAL)) != 0 ? PA_IO_EVENT_ERROR : 0));
}

PulseLoop* loopOf(pa_mainloop_api* api) {
    return static_cast<PulseLoop*>(api->userdata);
}

}  // namespace

// The table libpulse calls through.
struct PulseLoopApi {
    static pa_io_event* ioNew(pa_mainloop_api* api, int fd, pa_io_event_flags_t events,
                              pa_io_event_cb_t cb, void* userdata) {
        PulseLoop* loop = loopOf(api);
        loop->io_.push_back(
            std::make_unique<pa_io_event>(pa_io_event{loop, fd, events, cb, userdata}));
        return loop->io_.back().get();
    }
    static void ioEnable(pa_io_event* e, pa_io_event_flags_t events) { e->events = events; }
    static void ioFree(pa_io_event* e) {
        e->dead = true;  // removed after the round: it may be the one being dispatched
        e->loop->someDead_ = true;
    }
    static void ioSetDestroy(pa_io_event* e, pa_io_event_destroy_cb_t cb) { e->destroy = cb; }

    static pa_time_event* timeNew(pa_mainloop_api* api, const timeval* tv, pa_time_event_cb_t cb,
                                  void* userdata) {
        PulseLoop* loop = loopOf(api);
        auto e = std::make_unique<pa_time_event>();
        e->loop = loop;
        e->callback = cb;
        e->userdata = userdata;
        loop->timers_.push_back(std::move(e));
        pa_time_event* added = loop->timers_.back().get();
        timeRestart(added, tv);
        return added;
    }
    static void timeRestart(pa_time_event* e, const timeval* tv) {
        e->enabled = tv != nullptr;
        if (tv != nullptr) {
            e->asked = *tv;
            e->due = dueAt(*tv);
        }
    }
    static void timeFree(pa_time_event* e) {
        e->dead = true;
        e->enabled = false;
        e->loop->someDead_ = true;
    }
    static void timeSetDestroy(pa_time_event* e, pa_time_event_destroy_cb_t cb) { e->destroy = cb; }

    static pa_defer_event* deferNew(pa_mainloop_api* api, pa_defer_event_cb_t cb, void* userdata) {
        PulseLoop* loop = loopOf(api);
        auto e = std::make_unique<pa_defer_event>();
        e->loop = loop;
        e->callback = cb;
        e->userdata = userdata;
        loop->deferred_.push_back(std::move(e));
        return loop->deferred_.back().get();
    }
    static void deferEnable(pa_defer_event* e, int b) { e->enabled = b != 0; }
    static void deferFree(pa_defer_event* e) {
        e->dead = true;
        e->enabled = false;
        e->loop->someDead_ = true;
    }
    static void deferSetDestroy(pa_defer_event* e, pa_defer_event_destroy_cb_t cb) {
        e->destroy = cb;
    }

    static void quit(pa_mainloop_api* api, int) { loopOf(api)->quit_ = true; }
};

PulseLoop::PulseLoop() {
    api_.userdata = this;
    api_.io_new = &PulseLoopApi::ioNew;
    api_.io_enable = &PulseLoopApi::ioEnable;
    api_.io_free = &PulseLoopApi::ioFree;
    api_.io_set_destroy = &PulseLoopApi::ioSetDestroy;
    api_.time_new = &PulseLoopApi::timeNew;
    api_.time_restart = &PulseLoopApi::timeRestart;
    api_.time_free = &PulseLoopApi::timeFree;
    api_.time_set_destroy = &PulseLoopApi::timeSetDestroy;
    api_.defer_new = &PulseLoopApi::deferNew;
    api_.defer_enable = &PulseLoopApi::deferEnable;
    api_.defer_free = &PulseLoopApi::deferFree;
    api_.defer_set_destroy = &PulseLoopApi::deferSetDestroy;
    api_.quit = &PulseLoopApi::quit;
}

PulseLoop::~PulseLoop() {
    cleanUp(true);
}

int PulseLoop::iterate(std::chrono::microseconds timeout) {
    const bool deferredReady = std::any_of(deferred_.begin(), deferred_.end(),
                                           [](const auto& e) { return e->enabled && !e->dead; });
    if (deferredReady) {
        const int ran = dispatchDeferred();
        cleanUp(false);
        return ran;
    }
    auto wait = std::max(timeout, std::chrono::microseconds(0));
    const auto now = Clock::now();
    for (const auto& e : timers_) {
        if (e->enabled && !e->dead) {
            const auto left = std::chrono::ceil<std::chrono::microseconds>(e->due - now);
            wait = std::clamp(left, std::chrono::microseconds(0), wait);
        }
    }
    std::vector<pollfd> fds;
    fds.reserve(io_.size());
    for (const auto& e : io_) {
        fds.push_back(pollfd{e->dead ? -1 : e->fd, pollEvents(e->events), 0});
    }
    timespec ts{static_cast<time_t>(wait.count() / 1'000'000),
                static_cast<long>(wait.count() % 1'000'000) * 1000};
    const int polled = ::ppoll(fds.data(), fds.size(), &ts, nullptr);
    if (polled < 0 && errno != EINTR) {
        return -1;
    }
    int ran = dispatchTimers();
    // Only the events that were there when the poll began: one added since has no result.
    for (std::size_t i = 0; polled > 0 && i < fds.size(); ++i) {
        pa_io_event* e = io_[i].get();
        if (fds[i].revents != 0 && !e->dead) {
            e->callback(&api_, e, e->fd, ioFlags(fds[i].revents), e->userdata);
            ++ran;
        }
    }
    cleanUp(false);
    return ran;
}

int PulseLoop::dispatchDeferred() {
    int ran = 0;
    // By index: a callback may add events, which moves the vector's storage.
    for (std::size_t i = 0; i < deferred_.size(); ++i) {
        pa_defer_event* e = deferred_[i].get();
        if (e->enabled && !e->dead) {
            e->callback(&api_, e, e->userdata);
            ++ran;
        }
    }
    return ran;
}

int PulseLoop::dispatchTimers() {
    int ran = 0;
    const auto now = Clock::now();
    for (std::size_t i = 0; i < timers_.size(); ++i) {
        pa_time_event* e = timers_[i].get();
        if (e->enabled && !e->dead && e->due <= now) {
            e->enabled = false;  // one-shot: the callback restarts it if it wants more
            const timeval asked = e->asked;
            e->callback(&api_, e, &asked, e->userdata);
            ++ran;
        }
    }
    return ran;
}

void PulseLoop::cleanUp(bool all) {
    if (!someDead_ && !all) {
        return;
    }
    someDead_ = false;
    // Destroy callbacks may free further events, so each list is swept until nothing is left.
    auto sweep = [&](auto& events) {
        for (;;) {
            auto it = std::find_if(events.begin(), events.end(),
                                   [&](const auto& e) { return all || e->dead; });
            if (it == events.end()) {
                return;
            }
            auto e = std::move(*it);
            events.erase(it);
            if (e->destroy != nullptr) {
                e->destroy(&api_, e.get(), e->userdata);
            }
        }
    };
    sweep(io_);
    sweep(timers_);
    sweep(deferred_);
}

}  // namespace modBass
