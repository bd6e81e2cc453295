// The supervisor on the real main loop against real servers of the test's own, PulseAudio and
// PipeWire: it records the default output's monitor, follows a new default output, lets the
// ring fall silent while the server is away and records again when it is back, retries at the
// plan's pace, and ends a recording its recorder no longer wants.
#include "audio/CaptureSupervisor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "SoundServers.h"
#include "audio/PulseMainLoop.h"
#include "audio/SampleRing.h"

using modBass::CaptureSupervisor;
using modBass::PulseMainLoop;
using modBass::SampleRing;
using modBass::detail::ReconnectPlan;
using Link = ReconnectPlan::Link;
using namespace kftest;

namespace {

// Counts the fragments it gets; says stop after `stopAfter` of them when that is not 0.
struct CountingRecorder final : CaptureSupervisor::Recorder {
    std::atomic<int> calls{0};
    int stopAfter = 0;
    bool recorded(const void*, std::uint32_t) override { return ++calls != stopAfter; }
};

// A main loop, a ring and a supervisor on them, as the audio library has them.
class Supervised {
  public:
    Supervised() : supervisor_(loop_, ring_) { started_ = loop_.start("kf-test-supervisor"); }
    ~Supervised() {
        if (started_) {
            PulseMainLoop::Lock lock(loop_);
            supervisor_.end();
        }
    }

    bool started() const { return started_; }
    PulseMainLoop& loop() { return loop_; }
    CaptureSupervisor& supervisor() { return supervisor_; }
    const ReconnectPlan& plan() { return supervisor_.plan(); }
    const SampleRing& ring() const { return ring_; }

    void begin(const std::string& source = "") {
        PulseMainLoop::Lock lock(loop_);
        supervisor_.begin(source);
        supervisor_.evaluate();
    }

    void startRecording(CaptureSupervisor::Recorder* recorder) {
        PulseMainLoop::Lock lock(loop_);
        supervisor_.startRecording(recorder);
    }

    // Waits, lock held inside, until pred() holds; looks again at least every 10 ms.
    template <class Pred>
    bool waitFor(std::chrono::milliseconds timeout, Pred pred) {
        PulseMainLoop::Lock lock(loop_);
        const auto deadline = Clock::now() + timeout;
        while (!pred() && Clock::now() < deadline) {
            loop_.wait(10ms, [&] { return pred(); });
        }
        return pred();
    }

    // Under the lock: what the supervisor reports, for failure messages.
    std::string describe() {
        PulseMainLoop::Lock lock(loop_);
        const auto& p = supervisor_.plan();
        return "server " + std::to_string(static_cast<int>(p.server())) + ", stream " +
               std::to_string(static_cast<int>(p.stream())) + ", device '" + p.device() +
               "', default monitor '" + p.defaultMonitor() + "', follows " +
               std::to_string(supervisor_.follows());
    }

  private:
    PulseMainLoop loop_;
    SampleRing ring_;
    CaptureSupervisor supervisor_;
    bool started_ = false;
};

class CaptureSupervisorOn : public OnEachServer {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Servers, CaptureSupervisorOn,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire), kindName);

// Nothing answers: every attempt fails, and the next comes half a second after the last loss,
// so three losses take at least two retry intervals from the start.
TEST(CaptureSupervisor, WithoutAServerItRetriesEveryHalfSecond) {
    ScopedEnv env("PULSE_SERVER", "unix:/nonexistent/kf-no-server");
    Supervised s;
    ASSERT_TRUE(s.started());
    const auto start = Clock::now();
    s.begin();
    ASSERT_TRUE(s.waitFor(5000ms, [&] { return s.plan().serverLosses() >= 3; })) << s.describe();
    EXPECT_GE(msSince(start), 2 * 500.0) << "two retries take at least two intervals";
    PulseMainLoop::Lock lock(s.loop());
    EXPECT_NE(s.plan().server(), Link::Up);
    EXPECT_EQ(s.plan().serverConnects(), 0u);
}

TEST_P(CaptureSupervisorOn, RecordsTheMonitorOfTheDefaultOutput) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Supervised s;
    ASSERT_TRUE(s.started());
    s.begin();
    ASSERT_TRUE(s.waitFor(3000ms, [&] { return s.plan().defaultMonitorKnown(); })) << s.describe();
    CountingRecorder recorder;
    s.startRecording(&recorder);
    ASSERT_TRUE(s.waitFor(3000ms, [&] { return s.plan().stream() == Link::Up; })) << s.describe();
    {
        PulseMainLoop::Lock lock(s.loop());
        EXPECT_EQ(s.plan().device(), "kf_a.monitor");
        EXPECT_EQ(s.supervisor().source(), "kf_a.monitor");
        EXPECT_EQ(s.plan().serverConnects(), 1u);
    }
    EXPECT_TRUE(s.waitFor(4000ms, [&] { return recorder.calls >= 10; }))
        << recorder.calls << " fragments";
    EXPECT_GT(s.ring().framesWritten(), 0u);
    EXPECT_NE(s.supervisor().lastDataNs(), 0);
}

TEST_P(CaptureSupervisorOn, FollowsANewDefaultOutputWithinASecond) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Supervised s;
    ASSERT_TRUE(s.started());
    s.begin();
    CountingRecorder recorder;
    s.startRecording(&recorder);
    ASSERT_TRUE(s.waitFor(4000ms, [&] { return s.plan().device() == "kf_a.monitor"; }))
        << s.describe();
    PulseControl control(server->server().c_str());
    for (const std::string to : {"kf_b", "kf_a"}) {
        ASSERT_TRUE(control.setDefaultSink(to));
        const auto switched = Clock::now();
        EXPECT_TRUE(s.waitFor(
            1000ms,
            [&] { return s.plan().stream() == Link::Up && s.plan().device() == to + ".monitor"; }))
            << "not recording " << to << ".monitor 1 s after the switch; " << s.describe();
        std::cout << "[ follow   ] recording " << to << ".monitor " << msSince(switched)
                  << " ms after the switch\n";
    }
    PulseMainLoop::Lock lock(s.loop());
    EXPECT_EQ(s.plan().serverLosses(), 0u);
}

TEST_P(CaptureSupervisorOn, TheRingFallsSilentWhileTheServerIsAwayAndRecordingResumes) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Supervised s;
    ASSERT_TRUE(s.started());
    s.begin();
    CountingRecorder recorder;
    s.startRecording(&recorder);
    ASSERT_TRUE(s.waitFor(4000ms, [&] { return recorder.calls > 0; })) << s.describe();

    server->kill();
    ASSERT_TRUE(s.waitFor(2000ms, [&] { return s.plan().serverLosses() >= 1; })) << s.describe();
    {
        PulseMainLoop::Lock lock(s.loop());
        EXPECT_EQ(s.ring().filled(), 0) << "no frozen picture of what played before";
        EXPECT_EQ(s.supervisor().lastDataNs(), 0);
        EXPECT_EQ(s.plan().device(), "");
        EXPECT_TRUE(s.plan().recording()) << "the recording is still wanted";
    }

    ASSERT_TRUE(server->start()) << server->log();
    const auto back = Clock::now();
    ASSERT_TRUE(s.waitFor(3000ms, [&] { return s.plan().stream() == Link::Up; })) << s.describe();
    std::cout << "[ resume   ] recording again " << msSince(back)
              << " ms after the server came back\n";
    const int calls = recorder.calls;
    EXPECT_TRUE(s.waitFor(4500ms, [&] { return recorder.calls > calls; }))
        << "no fragment after the server came back";
    PulseMainLoop::Lock lock(s.loop());
    EXPECT_EQ(s.plan().device(), "kf_a.monitor");
    EXPECT_GE(s.plan().serverConnects(), 2u);
}

TEST_P(CaptureSupervisorOn, ARecorderThatSaysStopEndsTheRecording) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Supervised s;
    ASSERT_TRUE(s.started());
    s.begin();
    CountingRecorder recorder;
    recorder.stopAfter = 1;
    s.startRecording(&recorder);
    ASSERT_TRUE(s.waitFor(4000ms, [&] { return recorder.calls > 0; })) << s.describe();
    ASSERT_TRUE(s.waitFor(1000ms, [&] { return !s.plan().recording(); })) << s.describe();
    {
        PulseMainLoop::Lock lock(s.loop());
        EXPECT_EQ(s.plan().stream(), Link::Down);
        EXPECT_EQ(s.plan().device(), "");
    }
    const auto frames = s.ring().framesWritten();
    s.waitFor(300ms, [] { return false; });
    EXPECT_EQ(recorder.calls, 1) << "the recorder hears nothing after it said stop";
    EXPECT_EQ(s.ring().framesWritten(), frames) << "the stream is gone";
}

TEST_P(CaptureSupervisorOn, ANamedSourceIsRecordedAndNeverFollowed) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Supervised s;
    ASSERT_TRUE(s.started());
    s.begin("kf_mic");
    s.startRecording(nullptr);
    ASSERT_TRUE(s.waitFor(4000ms, [&] { return s.plan().stream() == Link::Up; })) << s.describe();
    {
        PulseMainLoop::Lock lock(s.loop());
        EXPECT_EQ(s.plan().device(), "kf_mic");
        EXPECT_EQ(s.supervisor().source(), "kf_mic");
    }
    ASSERT_TRUE(PulseControl(server->server().c_str()).setDefaultSink("kf_b"));
    s.waitFor(500ms, [] { return false; });
    PulseMainLoop::Lock lock(s.loop());
    EXPECT_EQ(s.plan().device(), "kf_mic");
    EXPECT_EQ(s.supervisor().follows(), 0u);
}
