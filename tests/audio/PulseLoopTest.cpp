// The main loop that runs libpulse on its caller's thread: timers, descriptors, deferred events,
// and events freed while the loop dispatches.
#include "audio/PulseLoop.h"

#include <gtest/gtest.h>
#include <pulse/context.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

using modBass::PulseLoop;
using namespace std::chrono_literals;

namespace {

using Clock = PulseLoop::Clock;

struct Log {
    std::vector<std::string> fired;
    std::vector<Clock::time_point> at;
    int destroyed = 0;
};

struct Named {
    Log* log;
    std::string name;
};

void onTime(pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
    auto* n = static_cast<Named*>(p);
    n->log->fired.push_back(n->name);
    n->log->at.push_back(Clock::now());
}

void runFor(PulseLoop& loop, std::chrono::milliseconds duration) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        ASSERT_GE(
            loop.iterate(std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now())),
            0);
    }
}

}  // namespace

TEST(PulseLoop, TimersFireOnceInOrderAndNeverEarly) {
    PulseLoop loop;
    pa_mainloop_api* api = loop.api();
    Log log;
    Named wall{&log, "wall"};
    Named fromContext{&log, "context"};
    Named never{&log, "never"};
    const auto start = Clock::now();
    // A context makes its timers as it does for its streams' (on the wall clock, for a loop
    // that is not libpulse's own).
    pa_context* ctx = pa_context_new(api, "kf-loop-test");
    ASSERT_NE(ctx, nullptr);
    pa_time_event* contextEvent =
        pa_context_rttime_new(ctx, pa_rtclock_now() + 40 * PA_USEC_PER_MSEC, &onTime, &fromContext);
    timeval tv{};
    pa_gettimeofday(&tv);
    pa_timeval_add(&tv, 15 * PA_USEC_PER_MSEC);
    pa_time_event* wallEvent = api->time_new(api, &tv, &onTime, &wall);
    pa_time_event* neverEvent = api->time_new(api, &tv, &onTime, &never);
    api->time_restart(neverEvent, nullptr);  // switched off

    runFor(loop, 120ms);
    ASSERT_EQ(log.fired, (std::vector<std::string>{"wall", "context"}));
    EXPECT_GE(log.at[0] - start, 14ms);
    EXPECT_GE(log.at[1] - start, 39ms);
    EXPECT_LT(log.at[1] - start, 100ms);

    api->time_free(contextEvent);
    api->time_free(wallEvent);
    api->time_free(neverEvent);
    pa_context_unref(ctx);
}

TEST(PulseLoop, AnEventFreedByAnotherCallbackIsNotCalledAndIsDestroyedOnce) {
    PulseLoop loop;
    pa_mainloop_api* api = loop.api();
    Log log;
    struct Pair {
        Log* log;
        pa_time_event* other = nullptr;
    } first{&log};
    Named second{&log, "second"};
    timeval now{};
    pa_gettimeofday(&now);
    pa_time_event* a = api->time_new(
        api, &now,
        [](pa_mainloop_api* api, pa_time_event*, const timeval*, void* p) {
            auto* pair = static_cast<Pair*>(p);
            pair->log->fired.push_back("first");
            api->time_free(pair->other);
        },
        &first);
    pa_time_event* b = api->time_new(api, &now, &onTime, &second);
    api->time_set_destroy(b, [](pa_mainloop_api*, pa_time_event*, void* p) {
        ++static_cast<Named*>(p)->log->destroyed;
    });
    first.other = b;
    runFor(loop, 20ms);
    EXPECT_EQ(log.fired, std::vector<std::string>{"first"});
    EXPECT_EQ(log.destroyed, 1);
    api->time_free(a);
}

TEST(PulseLoop, ADescriptorIsDispatchedWhenReadyAndNotWhenSwitchedOff) {
    PulseLoop loop;
    pa_mainloop_api* api = loop.api();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    struct Seen {
        int calls = 0;
        pa_io_event_flags_t flags = PA_IO_EVENT_NULL;
    } seen;
    pa_io_event* e = api->io_new(
        api, fds[0], PA_IO_EVENT_INPUT,
        [](pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t flags, void* p) {
            auto* s = static_cast<Seen*>(p);
            ++s->calls;
            s->flags = flags;
            char c;
            EXPECT_EQ(::read(fd, &c, 1), 1);
        },
        &seen);
    EXPECT_EQ(loop.iterate(10ms), 0) << "nothing to read yet";
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    const auto before = Clock::now();
    EXPECT_EQ(loop.iterate(1s), 1);
    EXPECT_LT(Clock::now() - before, 500ms) << "the poll returned when the byte came";
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.flags, PA_IO_EVENT_INPUT);

    api->io_enable(e, PA_IO_EVENT_NULL);
    ASSERT_EQ(::write(fds[1], "y", 1), 1);
    EXPECT_EQ(loop.iterate(20ms), 0);
    api->io_enable(e, PA_IO_EVENT_INPUT);
    EXPECT_EQ(loop.iterate(1s), 1);
    EXPECT_EQ(seen.calls, 2);
    api->io_free(e);
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(PulseLoop, ADeferredEventRunsEachRoundWhileEnabledAndTheRestAreDestroyedWithTheLoop) {
    int runs = 0;
    int destroyed = 0;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        PulseLoop loop;
        pa_mainloop_api* api = loop.api();
        api->defer_new(
            api,
            [](pa_mainloop_api* api, pa_defer_event* e, void* p) {
                if (++*static_cast<int*>(p) == 3) {
                    api->defer_enable(e, 0);
                }
            },
            &runs);
        pa_io_event* io = api->io_new(api, fds[0], PA_IO_EVENT_NULL, nullptr, &destroyed);
        api->io_set_destroy(
            io, [](pa_mainloop_api*, pa_io_event*, void* p) { ++*static_cast<int*>(p); });
        for (int i = 0; i < 5; ++i) {
            loop.iterate(0us);
        }
        EXPECT_EQ(runs, 3);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 1) << "the loop's end destroys what libpulse left";
    ::close(fds[0]);
    ::close(fds[1]);
}
