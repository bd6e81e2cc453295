// The record stream against real servers of the test's own, PulseAudio and PipeWire: what it
// records goes into the ring in fragments of about 10 ms, on the right channels, stamped with
// the time; a stream that is dropped, refused or moved says so.
#include "audio/PulseRecordStream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "SoundServers.h"
#include "audio/PulseMainLoop.h"
#include "audio/PulseServer.h"
#include "audio/SampleRing.h"

using modBass::PulseMainLoop;
using modBass::PulseRecordStream;
using modBass::PulseServer;
using modBass::SampleRing;
using namespace kftest;

namespace {

struct ServerReports final : PulseServer::Listener {
    void serverStateChanged() override {}
    void serverChanged() override {}
    void defaultOutputIs(const PulseServer::DefaultOutput&) override {}
    void outputLatencyIs(bool, std::uint64_t) override {}
    void outputChanged() override {}
};

// What the stream reported, on the loop's thread under its lock.
struct StreamReports final : PulseRecordStream::Listener {
    int stateChanges = 0;
    std::vector<std::string> moves;
    std::vector<std::size_t> fragments;  // bytes of each
    int holes = 0;

    void streamStateChanged() override { ++stateChanges; }
    void streamMoved(const std::string& device) override { moves.push_back(device); }
    void fragmentRecorded(const void* data, std::size_t bytes) override {
        if (data == nullptr) {
            ++holes;
        }
        fragments.push_back(bytes);
    }
};

// A main loop, a ready server connection and a record stream on it, as the capture has them.
class Recording {
  public:
    Recording() : server_(loop_, serverReports_), stream_(loop_, ring_, reports_) {
        started_ = loop_.start("kf-test-stream");
    }
    ~Recording() {
        if (started_) {
            PulseMainLoop::Lock lock(loop_);
            stream_.drop();
            server_.drop();
        }
    }

    PulseMainLoop& loop() { return loop_; }
    PulseRecordStream& stream() { return stream_; }
    StreamReports& reports() { return reports_; }
    const SampleRing& ring() const { return ring_; }

    bool connectServer() {
        PulseMainLoop::Lock lock(loop_);
        if (!started_ || !server_.connect("kf-test")) {
            return false;
        }
        return loop_.wait(3000ms, [&] {
            return server_.state() == PulseServer::State::Ready ||
                   server_.state() == PulseServer::State::Failed;
        }) && server_.state() == PulseServer::State::Ready;
    }

    // Connects the stream and waits until it is ready or has failed.
    PulseRecordStream::State record(const std::string& source) {
        PulseMainLoop::Lock lock(loop_);
        if (!stream_.connect(server_.context(), source)) {
            return stream_.state();
        }
        loop_.wait(3000ms, [&] {
            return stream_.state() == PulseRecordStream::State::Ready ||
                   stream_.state() == PulseRecordStream::State::Failed;
        });
        return stream_.state();
    }

    // Waits, lock held inside, until pred() holds.
    template <class Pred>
    bool waitFor(std::chrono::milliseconds timeout, Pred pred) {
        PulseMainLoop::Lock lock(loop_);
        const auto deadline = Clock::now() + timeout;
        while (!pred() && Clock::now() < deadline) {
            // The stream signals only on state changes: wake every 10 ms to look again.
            loop_.wait(10ms, [&] { return pred(); });
        }
        return pred();
    }

  private:
    PulseMainLoop loop_;
    SampleRing ring_;
    ServerReports serverReports_;
    StreamReports reports_;
    PulseServer server_;
    PulseRecordStream stream_;
    bool started_ = false;
};

// Runs a shell command and returns what it printed.
std::string run(const std::string& command) {
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p) != nullptr) {
            out += buf;
        }
        ::pclose(p);
    }
    return out;
}

class PulseRecordStreamOn : public OnEachServer {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Servers, PulseRecordStreamOn,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire), kindName);

// The null sink plays silence; what matters here is that and how it arrives.
TEST_P(PulseRecordStreamOn, RecordsTheSourceIntoTheRingInFragmentsOfAbout10Ms) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Recording r;
    ASSERT_TRUE(r.connectServer());
    EXPECT_EQ(r.stream().lastDataNs(), 0);
    ASSERT_EQ(r.record("kf_a.monitor"), PulseRecordStream::State::Ready);
    {
        PulseMainLoop::Lock lock(r.loop());
        EXPECT_EQ(r.stream().device(), "kf_a.monitor");
    }
    // A null sink without a low-latency client may render up to 2 s ahead at first.
    ASSERT_TRUE(r.waitFor(4000ms, [&] { return r.reports().fragments.size() >= 30; }))
        << r.reports().fragments.size() << " fragments";
    PulseMainLoop::Lock lock(r.loop());
    std::vector<std::size_t> sizes = r.reports().fragments;
    std::size_t bytes = 0;
    for (std::size_t b : sizes) {
        EXPECT_EQ(b % PulseRecordStream::kFrameBytes, 0u) << "whole frames only";
        bytes += b;
    }
    std::sort(sizes.begin(), sizes.end());
    const std::size_t median = sizes[sizes.size() / 2];
    EXPECT_LE(median, 2 * PulseRecordStream::kFragmentBytes) << "median fragment of " << median;
    EXPECT_EQ(r.ring().framesWritten(), bytes / PulseRecordStream::kFrameBytes)
        << "every fragment goes into the ring";
}

TEST_P(PulseRecordStreamOn, ATonePlaysIntoTheRingOnItsOwnChannel) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Recording r;
    ASSERT_TRUE(r.connectServer());
    ASSERT_EQ(r.record("kf_a.monitor"), PulseRecordStream::State::Ready);
    TonePlayer tone(40, 0.0f, 0.5f, "kf_a");
    ASSERT_TRUE(tone.waitStarted()) << tone.error();
    std::vector<float> newest(2 * 1024);
    float left = 0.0f;
    float right = 0.0f;
    const bool heard = r.waitFor(4000ms, [&] {
        r.ring().copyNewest(newest.data(), 1024);
        left = right = 0.0f;
        for (int i = 0; i < 1024; ++i) {
            left = std::max(left, std::abs(newest[2 * i]));
            right = std::max(right, std::abs(newest[2 * i + 1]));
        }
        return right > 0.45f;
    });
    ASSERT_TRUE(heard) << "right peak " << right;
    EXPECT_LT(right, 0.55f);
    EXPECT_LT(left, 1e-3f) << "the left channel stays silent";
}

TEST_P(PulseRecordStreamOn, StampsTheNewestFragmentWithTheSteadyClock) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Recording r;
    ASSERT_TRUE(r.connectServer());
    ASSERT_EQ(r.record("kf_a.monitor"), PulseRecordStream::State::Ready);
    ASSERT_TRUE(r.waitFor(4000ms, [&] { return r.reports().fragments.size() >= 5; }));
    const auto now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count();
    const std::int64_t last = r.stream().lastDataNs();
    EXPECT_LE(last, now);
    EXPECT_GT(last, now - 200'000'000) << "the newest fragment is less than 200 ms old";
    r.stream().forgetData();
    EXPECT_EQ(r.stream().lastDataNs(), 0);
}

TEST_P(PulseRecordStreamOn, ADroppedStreamRecordsNoMore) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Recording r;
    ASSERT_TRUE(r.connectServer());
    ASSERT_EQ(r.record("kf_a.monitor"), PulseRecordStream::State::Ready);
    ASSERT_TRUE(r.waitFor(4000ms, [&] { return !r.reports().fragments.empty(); }));
    std::size_t fragments = 0;
    std::uint64_t frames = 0;
    {
        PulseMainLoop::Lock lock(r.loop());
        r.stream().drop();
        EXPECT_EQ(r.stream().state(), PulseRecordStream::State::None);
        EXPECT_EQ(r.stream().device(), "");
        fragments = r.reports().fragments.size();
        frames = r.ring().framesWritten();
    }
    std::this_thread::sleep_for(200ms);
    PulseMainLoop::Lock lock(r.loop());
    EXPECT_EQ(r.reports().fragments.size(), fragments);
    EXPECT_EQ(r.ring().framesWritten(), frames);
}

// PulseAudio refuses a source it does not have; pipewire-pulse records another one instead,
// which is why a named source is checked with the server before it is recorded.
TEST_P(PulseRecordStreamOn, ASourceThatDoesNotExistIsNeverRecordedUnderItsName) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Recording r;
    ASSERT_TRUE(r.connectServer());
    const auto state = r.record("kleurflits_no_such_source");
    PulseMainLoop::Lock lock(r.loop());
    if (GetParam() == ServerKind::PulseAudio) {
        EXPECT_TRUE(state == PulseRecordStream::State::Failed ||
                    state == PulseRecordStream::State::None)
            << "recording " << r.stream().device();
        EXPECT_TRUE(r.reports().fragments.empty());
    } else {
        ASSERT_EQ(state, PulseRecordStream::State::Ready);
        std::cout << "[ fallback ] pipewire-pulse records " << r.stream().device() << "\n";
        EXPECT_NE(r.stream().device(), "kleurflits_no_such_source");
        EXPECT_NE(r.stream().device(), "");
    }
}

TEST_P(PulseRecordStreamOn, AStreamTheServerMovesReportsItsNewSource) {
    auto server = makeServer({"kf_a", "kf_b"});
    ASSERT_TRUE(server->start()) << server->log();
    ScopedEnv env("PULSE_SERVER", server->server());
    Recording r;
    ASSERT_TRUE(r.connectServer());
    ASSERT_EQ(r.record("kf_a.monitor"), PulseRecordStream::State::Ready);
    // Moved once it records, so the server has linked it to its first source.
    ASSERT_TRUE(r.waitFor(4000ms, [&] { return !r.reports().fragments.empty(); }));
    const std::string pactl = "pactl --server='" + server->server() + "' ";
    const std::string outputs = run(pactl + "list short source-outputs 2>&1");
    const std::string index = outputs.substr(0, outputs.find_first_of(" \t\n"));
    ASSERT_FALSE(index.empty()) << "the stream is not among the source outputs";
    // pipewire-pulse accepts a move at once, but wireplumber now and then leaves the stream
    // where it was; the move is asked for again until the server has made it.
    const auto deadline = Clock::now() + 5000ms;
    int attempts = 0;
    bool reported = false;
    while (!reported && Clock::now() < deadline) {
        const std::string moved =
            run(pactl + "move-source-output " + index + " kf_b.monitor 2>&1; echo status $?");
        ASSERT_EQ(moved, "status 0\n") << "source outputs:\n" << outputs;
        ++attempts;
        reported = r.waitFor(500ms, [&] { return !r.reports().moves.empty(); });
    }
    ASSERT_TRUE(reported) << "no move reported after " << attempts
                          << " requests; source outputs before:\n"
                          << outputs << "after:\n"
                          << run(pactl + "list short source-outputs 2>&1");
    if (attempts > 1) {
        std::cout << "[ move     ] the server moved the stream at request " << attempts << "\n";
    }
    PulseMainLoop::Lock lock(r.loop());
    EXPECT_EQ(r.reports().moves.back(), "kf_b.monitor");
    EXPECT_EQ(r.stream().device(), "kf_b.monitor");
}
