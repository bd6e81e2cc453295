// libpulse's threaded main loop as the capture uses it: its thread, its lock, waits bounded by
// their timeout, timers and deferred events. A main loop needs no sound server.
#include "audio/PulseMainLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using modBass::PulseMainLoop;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// What the loop's callbacks saw, written on the loop's thread under its lock.
struct Seen {
    PulseMainLoop* loop = nullptr;
    int calls = 0;
    bool onLoopThread = false;
    std::vector<Clock::time_point> times;
};

void noteTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
    auto* seen = static_cast<Seen*>(p);
    ++seen->calls;
    seen->onLoopThread = seen->loop->inLoopThread();
    seen->loop->signal();
}

void notePeriodic(pa_mainloop_api*, pa_time_event* e, const timeval*, void* p) {
    auto* seen = static_cast<Seen*>(p);
    ++seen->calls;
    seen->times.push_back(Clock::now());
    seen->loop->restartTimer(e, 20ms);
    seen->loop->signal();
}

void noteDeferred(pa_mainloop_api*, pa_defer_event* e, void* p) {
    auto* seen = static_cast<Seen*>(p);
    seen->loop->enableDeferred(e, false);
    ++seen->calls;
    seen->onLoopThread = seen->loop->inLoopThread();
    seen->loop->signal();
}

}  // namespace

TEST(PulseMainLoop, StartsAThreadOfItsOwnAndStopsIt) {
    PulseMainLoop loop;
    EXPECT_FALSE(loop.running());
    ASSERT_TRUE(loop.start("kf-test-loop"));
    EXPECT_TRUE(loop.running());
    EXPECT_FALSE(loop.inLoopThread()) << "the test's thread is not the loop's";
    loop.stop();
    EXPECT_FALSE(loop.running());
    loop.stop();  // harmless twice
    ASSERT_TRUE(loop.start("kf-test-loop")) << "a stopped loop starts again";
    EXPECT_TRUE(loop.running());
}

TEST(PulseMainLoop, AWaitEndsAtItsTimeoutWhenNothingHappens) {
    PulseMainLoop loop;
    ASSERT_TRUE(loop.start("kf-test-loop"));
    PulseMainLoop::Lock lock(loop);
    const auto t0 = Clock::now();
    EXPECT_FALSE(loop.wait(300ms, [] { return false; }));
    const double ms = msSince(t0);
    EXPECT_GE(ms, 295.0);
    EXPECT_LT(ms, 480.0) << "the timeout itself ends the wait, not a later fallback";
}

TEST(PulseMainLoop, AWaitEndsWhenItsConditionHoldsAtASignal) {
    PulseMainLoop loop;
    ASSERT_TRUE(loop.start("kf-test-loop"));
    Seen seen;
    seen.loop = &loop;
    PulseMainLoop::Lock lock(loop);
    pa_time_event* timer = loop.newTimer(50ms, &noteTimer, &seen);
    ASSERT_NE(timer, nullptr);
    const auto t0 = Clock::now();
    EXPECT_TRUE(loop.wait(5000ms, [&] { return seen.calls > 0; }));
    const double ms = msSince(t0);
    EXPECT_GE(ms, 45.0) << "the timer fires 50 ms after it was made";
    EXPECT_LT(ms, 2000.0);
    EXPECT_TRUE(seen.onLoopThread) << "timers run on the loop's thread";
    loop.freeTimer(timer);
    EXPECT_EQ(timer, nullptr);
}

TEST(PulseMainLoop, ATimerRestartedFromItsCallbackFiresAgainAndAgain) {
    PulseMainLoop loop;
    ASSERT_TRUE(loop.start("kf-test-loop"));
    Seen seen;
    seen.loop = &loop;
    PulseMainLoop::Lock lock(loop);
    pa_time_event* timer = loop.newTimer(20ms, &notePeriodic, &seen);
    ASSERT_NE(timer, nullptr);
    ASSERT_TRUE(loop.wait(5000ms, [&] { return seen.calls >= 5; }));
    for (std::size_t i = 1; i < seen.times.size(); ++i) {
        EXPECT_GE(seen.times[i] - seen.times[i - 1], 19ms) << "fire " << i;
    }
    loop.freeTimer(timer);
    const int calls = seen.calls;
    loop.wait(100ms, [] { return false; });
    EXPECT_EQ(seen.calls, calls) << "a freed timer never fires";
}

TEST(PulseMainLoop, ADeferredEventRunsOnTheLoopThreadEachTimeItIsEnabled) {
    PulseMainLoop loop;
    ASSERT_TRUE(loop.start("kf-test-loop"));
    Seen seen;
    seen.loop = &loop;
    PulseMainLoop::Lock lock(loop);
    pa_defer_event* e = loop.newDeferred(&noteDeferred, &seen);
    ASSERT_NE(e, nullptr);
    loop.wait(100ms, [] { return false; });
    EXPECT_EQ(seen.calls, 0) << "a new deferred event waits to be enabled";
    loop.enableDeferred(e, true);
    ASSERT_TRUE(loop.wait(2000ms, [&] { return seen.calls == 1; }));
    EXPECT_TRUE(seen.onLoopThread);
    loop.enableDeferred(e, true);
    ASSERT_TRUE(loop.wait(2000ms, [&] { return seen.calls == 2; }));
    loop.freeDeferred(e);
    EXPECT_EQ(e, nullptr);
}

// The capture thread may not join itself: stop() from a callback leaves the loop running.
TEST(PulseMainLoop, StopOnTheLoopsOwnThreadIsRefused) {
    PulseMainLoop loop;
    ASSERT_TRUE(loop.start("kf-test-loop"));
    struct Attempt {
        PulseMainLoop* loop;
        bool done = false;
        bool stillRunning = false;
    } attempt{&loop};
    PulseMainLoop::Lock lock(loop);
    pa_time_event* timer = loop.newTimer(
        1ms,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* p) {
            auto* a = static_cast<Attempt*>(p);
            a->loop->stop();
            a->stillRunning = a->loop->running();
            a->done = true;
            a->loop->signal();
        },
        &attempt);
    ASSERT_TRUE(loop.wait(2000ms, [&] { return attempt.done; }));
    EXPECT_TRUE(attempt.stillRunning);
    loop.freeTimer(timer);
}

// The lock keeps the loop's callbacks out: a timer due while the lock is held runs after.
TEST(PulseMainLoop, TheLockKeepsTheLoopsCallbacksOut) {
    PulseMainLoop loop;
    ASSERT_TRUE(loop.start("kf-test-loop"));
    Seen seen;
    seen.loop = &loop;
    std::atomic<int> callsWhileHeld{-1};
    pa_time_event* timer = nullptr;
    {
        PulseMainLoop::Lock lock(loop);
        timer = loop.newTimer(1ms, &noteTimer, &seen);
        ASSERT_NE(timer, nullptr);
        std::this_thread::sleep_for(100ms);
        callsWhileHeld = seen.calls;
    }
    EXPECT_EQ(callsWhileHeld, 0);
    PulseMainLoop::Lock lock(loop);
    EXPECT_TRUE(loop.wait(2000ms, [&] { return seen.calls == 1; }));
    loop.freeTimer(timer);
}
