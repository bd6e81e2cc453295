// The analysis in step with the ear, on real servers of the test's own: tone bursts are played
// into an output, and the time the FFT first shows each burst is set against the time the burst
// is heard. On an output with a deep buffer that is when the speaker at the far end of its FIFO
// plays it; on a null sink, which plays at once, when its monitor carries it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <iostream>
#include <memory>
#include <sstream>

#include "PulseTestSupport.h"
#include "SoundServers.h"
#include "audio/PulseAudioLibrary.h"
#include "audio/modBass.h"
#include "testkit/FifoSpeaker.h"
#include "testkit/ReferenceRecorder.h"

using modBass::PulseAudioLibrary;
using Kind = modBass::PlaybackDelay::Latency::Kind;
using namespace kftest;

namespace {

constexpr int kBin = 20;  // 861 Hz
constexpr double kToneHz = kBin * 44100.0 / 1024.0;

BurstPlan bursts(int count) {
    BurstPlan plan;
    plan.freqs = {kToneHz};
    plan.count = count;
    plan.onMs = 150;
    plan.gapMs = 350;
    return plan;
}

bool keepRecording(modBass::HRECORD, const void*, std::uint32_t, void*) {
    return true;
}

// The recording of the default output (or of KLEURFLITS_AUDIO_SOURCE), started.
struct Recording {
    PulseAudioLibrary lib;
    modBass::HRECORD handle = 0;
    std::int64_t deepestUs = 0;  // the largest output latency reported during the shows

    bool start(std::string& why) {
        if (!lib.BASS_RecordInit(-1)) {
            why = "init: error " + std::to_string(lib.BASS_ErrorGetCode());
            return false;
        }
        handle = lib.BASS_RecordStart(44100, 2, 0, keepRecording, nullptr);
        if (handle == 0) {
            why = "start: error " + std::to_string(lib.BASS_ErrorGetCode());
            return false;
        }
        return true;
    }

    // Waits until the server has said what the recording is for the delay.
    bool waitForLatency(Kind kind, std::chrono::milliseconds timeout = 3000ms) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (lib.status().latency.kind == kind) {
                return true;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
};

// Asks for an FFT every millisecond for `span`, as the frames would, and notes when the tone's
// bin first stands out after at least 100 ms below.
std::vector<Clock::time_point> fftOnsets(Recording& rec, Clock::duration span) {
    std::array<float, modBass::kFftValues> f{};
    std::vector<Clock::time_point> onsets;
    std::optional<Clock::time_point> lastLoud;
    const auto end = Clock::now() + span;
    auto nextLook = Clock::now();
    while (Clock::now() < end) {
        if (Clock::now() >= nextLook) {
            rec.deepestUs = std::max(rec.deepestUs, rec.lib.status().latency.us);
            nextLook += 100ms;
        }
        if (rec.lib.BASS_ChannelGetData(rec.handle, f.data(), modBass::kFftRequest) < 0) {
            break;
        }
        const auto now = Clock::now();
        const float level = std::max(f[2 * kBin], f[2 * kBin + 1]);
        if (level > 0.05F) {
            if (!lastLoud || now - *lastLoud > 100ms) {
                onsets.push_back(now);
            }
            lastLoud = now;
        }
        std::this_thread::sleep_for(1ms);
    }
    return onsets;
}

// For each burst heard, how much later (ms) the FFT showed it; none where it showed nothing
// within 400 ms of it.
std::vector<std::optional<double>> lags(const std::vector<Clock::time_point>& heard,
                                        const std::vector<Clock::time_point>& shown) {
    std::vector<std::optional<double>> out;
    for (const auto& h : heard) {
        std::optional<double> best;
        for (const auto& s : shown) {
            const double d = msSince(h, s);
            if (std::fabs(d) < 400 && (!best || std::fabs(d) < std::fabs(*best))) {
                best = d;
            }
        }
        out.push_back(best);
    }
    return out;
}

std::string describe(const std::vector<std::optional<double>>& v) {
    std::ostringstream os;
    for (const auto& d : v) {
        os << ' ' << (d ? std::to_string(static_cast<int>(std::lround(*d))) : std::string("-"));
    }
    return os.str();
}

double median(const std::vector<std::optional<double>>& v) {
    std::vector<double> d;
    for (const auto& x : v) {
        if (x) {
            d.push_back(*x);
        }
    }
    if (d.empty()) {
        return NAN;
    }
    std::sort(d.begin(), d.end());
    return d[d.size() / 2];
}

// Every burst heard was shown: `expected` ms after it, within `tolerance` for the median, and
// twice that for any one burst (a loaded machine wakes the poll late now and then; the fault
// guarded against is a lead of the whole output latency).
void expectBurstsAt(const std::vector<std::optional<double>>& v, double expected, double tolerance,
                    const std::string& what) {
    ASSERT_FALSE(v.empty()) << what << ": no burst was heard";
    for (std::size_t i = 0; i < v.size(); ++i) {
        ASSERT_TRUE(v[i].has_value())
            << what << ": burst " << i << " was never shown;" << describe(v);
        EXPECT_NEAR(*v[i], expected, 2 * tolerance)
            << what << ": burst " << i << " (ms after it was heard:" << describe(v) << ")";
    }
    EXPECT_NEAR(median(v), expected, tolerance)
        << what << ": the median (ms after heard:" << describe(v) << ")";
}

// Plays `count` bursts into `sink` and returns when the FFT showed each against when `heard`
// (called after the show) says it was heard.
template <class Heard>
std::vector<std::optional<double>> show(Recording& rec, const std::string& sink, int count,
                                        Heard heard) {
    const BurstPlan plan = bursts(count);
    SignalPlayer::Options o;
    o.sink = sink;
    o.name = "bursts";
    o.length = lengthOf(plan);
    SignalPlayer player(toneBursts(plan), o);
    EXPECT_TRUE(player.waitStarted().has_value()) << player.error();
    // Played out and, on a deep output, past its far end.
    const auto shown =
        fftOnsets(rec, std::chrono::milliseconds(lengthOf(plan) * 1000 / 44100) + 700ms);
    return lags(heard(), shown);
}

// A test's environment for the recording: its server, and the two variables as it wants them.
struct RecordingEnv {
    RecordingEnv(const std::string& server, std::optional<std::string> source = std::nullopt,
                 std::optional<std::string> delay = std::nullopt)
        : server_("PULSE_SERVER", server),
          source_("KLEURFLITS_AUDIO_SOURCE", std::move(source)),
          delay_("KLEURFLITS_DELAY_MS", std::move(delay)) {}
    ScopedEnv server_;
    ScopedEnv source_;
    ScopedEnv delay_;
};

class InStep : public OnEachServer {};

INSTANTIATE_TEST_SUITE_P(Servers, InStep,
                         ::testing::Values(ServerKind::PulseAudio, ServerKind::PipeWire), kindName);

}  // namespace

TEST_P(InStep, OnAnOutputThatPlaysAtOnceEachBurstIsShownWithin25MsOfBeingHeard) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    RecordingEnv env(server->server());
    ReferenceRecorder monitor;
    std::string why;
    ASSERT_TRUE(monitor.start("kf_a.monitor", why)) << why;
    Recording rec;
    ASSERT_TRUE(rec.start(why)) << why;
    ASSERT_TRUE(rec.waitForLatency(Kind::Output)) << "the output's latency was never reported";
    const auto v = show(rec, "kf_a", 10, [&] { return monitor.onsets(); });
    std::cout << "[ in step  ] null sink, reported up to " << rec.deepestUs / 1000.0
              << " ms; shown after heard (ms):" << describe(v) << "\n";
    EXPECT_LT(rec.deepestUs, 30000) << "a null sink plays at once";
    expectBurstsAt(v, 0, 25, "null sink");
}

TEST_P(InStep, TheUsersDelayIsAddedToTheOutputs) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    RecordingEnv env(server->server());
    ReferenceRecorder monitor;
    std::string why;
    ASSERT_TRUE(monitor.start("kf_a.monitor", why)) << why;
    std::vector<std::optional<double>> without;
    {
        Recording rec;
        ASSERT_TRUE(rec.start(why)) << why;
        ASSERT_TRUE(rec.waitForLatency(Kind::Output));
        without = show(rec, "kf_a", 8, [&] { return monitor.onsets(); });
    }
    monitor.clear();
    ScopedEnv delay("KLEURFLITS_DELAY_MS", "100");
    Recording rec;
    ASSERT_TRUE(rec.start(why)) << why;
    ASSERT_TRUE(rec.waitForLatency(Kind::Output));
    const auto with = show(rec, "kf_a", 8, [&] { return monitor.onsets(); });
    std::cout << "[ in step  ] shown after heard (ms) without a delay:" << describe(without)
              << "; with KLEURFLITS_DELAY_MS=100:" << describe(with) << "\n";
    expectBurstsAt(without, 0, 25, "without a delay");
    expectBurstsAt(with, median(without) + 100, 15, "with 100 ms");
}

TEST_P(InStep, ANamedSourceIsHeardLiveEvenWithTheUsersDelaySet) {
    auto server = makeServer({"kf_a"});
    ASSERT_TRUE(server->start()) << server->log();
    RecordingEnv env(server->server(), "kf_a.monitor", "300");
    ReferenceRecorder monitor;
    std::string why;
    ASSERT_TRUE(monitor.start("kf_a.monitor", why)) << why;
    Recording rec;
    ASSERT_TRUE(rec.start(why)) << why;
    ASSERT_TRUE(rec.waitForLatency(Kind::Live));
    const auto v = show(rec, "kf_a", 8, [&] { return monitor.onsets(); });
    std::cout << "[ in step  ] named source, shown after heard (ms):" << describe(v) << "\n";
    expectBurstsAt(v, 0, 25, "named source");
}

// An output whose far end plays its FIFO in real time: the server knows how deep the FIFO is.
// PipeWire's pipe sink reports no latency (through pipewire-pulse every output reads 0 µs), so
// this runs on PulseAudio.
class InStepDeep : public ::testing::Test {
  protected:
    void SetUp() override {
        KF_REQUIRE(soundServerAvailable(ServerKind::PulseAudio),
                   "the pulseaudio daemon (package pulseaudio)");
        server_ = makeSoundServer(ServerKind::PulseAudio, {"kf_null"});
        ASSERT_TRUE(server_->start()) << server_->log();
        std::string why;
        ASSERT_TRUE(speaker_.start(server_->server(), "kf_deep", why)) << why;
        ASSERT_TRUE(PulseControl(server_->server().c_str()).setDefaultSink("kf_deep"));
    }
    std::unique_ptr<TestSoundServer> server_;
    FifoSpeaker speaker_;
};

TEST_F(InStepDeep, EachBurstIsShownWithin25MsOfTheFarEndPlayingIt) {
    RecordingEnv env(server_->server());
    Recording rec;
    std::string why;
    ASSERT_TRUE(rec.start(why)) << why;
    // An idle pipe sink renders nothing, so its latency is known once the show plays.
    const auto v = show(rec, "kf_deep", 12, [&] { return speaker_.onsets(); });
    std::cout << "[ in step  ] deep output, reported up to " << rec.deepestUs / 1000.0
              << " ms; shown after heard (ms):" << describe(v) << "\n";
    EXPECT_GT(rec.deepestUs, 100000) << "the output is not deep: the test shows nothing";
    expectBurstsAt(v, 0, 25, "deep output");
}

TEST_F(InStepDeep, AfterTheDefaultOutputIsSwitchedMidShowTheAnalysisFollowsWithin2s) {
    RecordingEnv env(server_->server());
    ReferenceRecorder monitor;
    std::string why;
    ASSERT_TRUE(monitor.start("kf_null.monitor", why)) << why;
    Recording rec;
    ASSERT_TRUE(rec.start(why)) << why;
    // An idle pipe sink renders nothing, so its latency is known once the show plays.
    const auto deep = show(rec, "kf_deep", 6, [&] { return speaker_.onsets(); });
    expectBurstsAt(deep, 0, 25, "deep output");

    ASSERT_TRUE(PulseControl(server_->server().c_str()).setDefaultSink("kf_null"));
    const auto switched = Clock::now();
    const auto after = show(rec, "kf_null", 10, [&] {
        std::vector<Clock::time_point> late;
        for (const auto& t : monitor.onsets()) {
            if (t - switched > 2s) {
                late.push_back(t);
            }
        }
        return late;
    });
    std::cout << "[ in step  ] deep output:" << describe(deep)
              << "; the null sink from 2 s after the switch:" << describe(after) << "\n";
    EXPECT_EQ(rec.lib.status().device, "kf_null.monitor");
    expectBurstsAt(after, 0, 25, "after the switch");
}
