// Capture-latency probe for the PulseAudio backend of the audio library.
//
//  1. Fragment period: the time between record callbacks on the capture thread (each runs right
//     after its fragment went into the ring), with the backend recording alone. Goal <= 10 ms.
//  2. Ring lag: 20 clicks are played into the default sink; for each, the time at which the click
//     is in the ring (seen in the record callback) minus the time at which a minimal reference
//     recorder on the same source (a pa_stream with the smallest fragsize the server grants) sees
//     it. Goal: median <= 5 ms. While both record, the source runs at the reference's latency
//     and the server hands both their data at once, so this figure is near zero by construction;
//     hence also:
//  3. Lag with each recording alone: the age of each click when its fragment arrives (the frames
//     after it in that fragment), once with the backend alone and once with the reference alone;
//     the difference of the medians is what the backend's 10 ms fragments add.
//
// Uses the server of PULSE_SERVER (or the client configuration) and the source of the backend
// (the default output's monitor, or KLEURFLITS_AUDIO_SOURCE). Exit status 2 when no server answers.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "audio/PulseAudioLibrary.h"
#include "testkit/ReferenceRecorder.h"
#include "testkit/SignalPlayer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// Timestamps of events, written by one capture thread, read after the fact.
class EventLog {
  public:
    explicit EventLog(std::size_t capacity) : t_(capacity) {}
    void add(std::int64_t ns) {
        const std::size_t i = n_.load(std::memory_order_relaxed);
        if (i < t_.size()) {
            t_[i] = ns;
            n_.store(i + 1, std::memory_order_release);
        }
    }
    std::vector<std::int64_t> snapshot() const {
        const std::size_t n = n_.load(std::memory_order_acquire);
        return {t_.begin(), t_.begin() + static_cast<std::ptrdiff_t>(n)};
    }
    void reset() { n_.store(0, std::memory_order_release); }

  private:
    std::vector<std::int64_t> t_;
    std::atomic<std::size_t> n_{0};
};

// Finds clicks in float32 stereo data: the first loud sample after at least 100 ms of quiet.
// Also logs each click's age on arrival: the frames after it in the fragment that delivered it,
// i.e. how long the click waited for its fragment to fill.
class ClickDetector {
  public:
    ClickDetector(EventLog& log, EventLog& ages) : log_(log), ages_(ages) {}
    void feed(const float* data, std::size_t frames, std::int64_t ns) {
        for (std::size_t i = 0; i < 2 * frames; ++i) {
            if (std::fabs(data[i]) > 0.25f) {
                if (ns - lastLoud_ > 100'000'000) {
                    log_.add(ns);
                    ages_.add(static_cast<std::int64_t>(static_cast<double>(frames - i / 2) * 1e9 /
                                                        44100.0));
                }
                lastLoud_ = ns;
                return;
            }
        }
    }

  private:
    EventLog& log_;
    EventLog& ages_;
    std::int64_t lastLoud_ = 0;
};

struct BackendProbe {
    EventLog fragments{100000};
    EventLog clicks{64};
    EventLog ages{64};
    ClickDetector detector{clicks, ages};
    std::atomic<bool> detect{false};
};

bool backendProc(modBass::HRECORD, const void* buffer, std::uint32_t length, void* user) {
    auto* p = static_cast<BackendProbe*>(user);
    const std::int64_t t = nowNs();
    p->fragments.add(t);
    if (p->detect.load(std::memory_order_relaxed)) {
        p->detector.feed(static_cast<const float*>(buffer), length / 8, t);
    }
    return true;
}

// Plays `count` clicks into the default sink, in a steady stream of silence so the playback
// never underruns; `written` gets the time each click was handed to the server.
bool playClicks(int count, std::string& error, std::vector<std::int64_t>* written = nullptr) {
    auto options = kftest::SignalPlayer::Options::timing("clicks", kftest::clicksLength(count));
    options.written = [&](long long first, Clock::time_point at) {
        for (int k = 0; k < count && written != nullptr; ++k) {
            const long long start = kftest::clickStart(k);
            if (start >= first && start < first + 441) {
                written->push_back(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch())
                        .count());
            }
        }
    };
    kftest::SignalPlayer player(kftest::clicks(count), std::move(options));
    if (!player.waitFinished()) {
        error = player.error();
        return false;
    }
    return true;
}

std::vector<double> periodsMs(const std::vector<std::int64_t>& t) {
    std::vector<double> d;
    for (std::size_t i = 1; i < t.size(); ++i)
        d.push_back(static_cast<double>(t[i] - t[i - 1]) / 1e6);
    return d;
}

}  // namespace

std::vector<double> diffsMs(const std::vector<std::int64_t>& a,
                            const std::vector<std::int64_t>& b) {
    std::vector<double> d;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        d.push_back(static_cast<double>(a[i] - b[i]) / 1e6);
    }
    return d;
}

// The reference's times as the ring's are kept: nanoseconds of the steady clock.
std::vector<std::int64_t> nanoseconds(const std::vector<Clock::time_point>& times) {
    std::vector<std::int64_t> ns;
    for (const auto t : times) {
        ns.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
    }
    return ns;
}

std::vector<std::int64_t> nanoseconds(const std::vector<Clock::duration>& ages) {
    std::vector<std::int64_t> ns;
    for (const auto a : ages) {
        ns.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(a).count());
    }
    return ns;
}

bool waitForData(modBass::PulseAudioLibrary& lib) {
    const auto deadline = Clock::now() + 4s;
    while (lib.ring().framesWritten() < 2048 && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return lib.ring().framesWritten() >= 2048;
}

int main() {
    constexpr int kClicks = 20;
    BackendProbe probe;
    modBass::PulseAudioLibrary lib;
    if (!lib.BASS_RecordInit(-1)) {
        std::printf("capture_latency: BASS_RecordInit failed, error %d (no server or no source)\n",
                    lib.BASS_ErrorGetCode());
        return 2;
    }
    const auto h = lib.BASS_RecordStart(44100, 2, 0, backendProc, &probe);
    if (h == 0) {
        std::printf("capture_latency: BASS_RecordStart failed, error %d\n",
                    lib.BASS_ErrorGetCode());
        return 2;
    }
    const auto status = lib.status();
    std::printf("source %s, recording %s\n", status.source.c_str(), status.device.c_str());
    if (!waitForData(lib)) {
        std::printf("capture_latency: the recording delivers no data\n");
        return 2;
    }

    // 1. Fragment period, the backend alone; then clicks timed from their write.
    std::this_thread::sleep_for(100ms);
    probe.fragments.reset();
    std::this_thread::sleep_for(3s);
    const auto alone = periodsMs(probe.fragments.snapshot());
    std::printf(
        "fragment period (backend alone): median %.2f ms, p90 %.2f ms, max %.2f ms over %zu "
        "fragments (goal <= 10 ms)\n",
        median(alone), percentile(alone, 0.9), percentile(alone, 1.0), alone.size());
    std::string error;
    std::vector<std::int64_t> writtenAlone;
    probe.detect = true;
    if (!playClicks(kClicks, error, &writtenAlone)) {
        std::printf("capture_latency: playing the clicks failed: %s\n", error.c_str());
        return 2;
    }
    std::this_thread::sleep_for(200ms);
    probe.detect = false;
    const auto ringAlone = probe.clicks.snapshot();
    const auto ringAges = probe.ages.snapshot();
    probe.clicks.reset();

    // 2. Ring lag against the reference recorder, both recording.
    // The clicks are 0.9 full scale: a threshold well above any noise of the sink.
    kftest::ReferenceRecorder ref(0.25F, 100ms);
    if (!ref.start(status.device, error)) {
        std::printf("capture_latency: the reference recorder could not start: %s\n", error.c_str());
        return 2;
    }
    std::printf("reference recorder on %s, fragsize %u bytes (%.2f ms)\n", ref.device().c_str(),
                ref.fragsize(), ref.fragsize() / 8.0 / 44.1);
    std::this_thread::sleep_for(300ms);
    probe.fragments.reset();
    probe.detect = true;
    ref.clear();
    if (!playClicks(kClicks, error)) {
        std::printf("capture_latency: playing the clicks failed: %s\n", error.c_str());
        return 2;
    }
    std::this_thread::sleep_for(200ms);
    probe.detect = false;
    const auto withRef = periodsMs(probe.fragments.snapshot());
    const auto ringClicks = probe.clicks.snapshot();
    const auto refClicks = nanoseconds(ref.onsets());

    // 3. The reference alone, clicks timed from their write.
    lib.BASS_RecordFree();
    std::this_thread::sleep_for(300ms);
    std::vector<std::int64_t> writtenRef;
    ref.clear();
    if (!playClicks(kClicks, error, &writtenRef)) {
        std::printf("capture_latency: playing the clicks failed: %s\n", error.c_str());
        return 2;
    }
    std::this_thread::sleep_for(200ms);
    const auto refAlone = nanoseconds(ref.onsets());
    const auto refAges = nanoseconds(ref.ages());
    ref.stop();

    std::printf("fragment period (with the reference running): median %.2f ms over %zu fragments\n",
                median(withRef), withRef.size());
    std::printf("clicks detected: ring %zu, reference %zu (played %d)\n", ringClicks.size(),
                refClicks.size(), kClicks);
    int status2 = 0;
    if (ringClicks.size() != refClicks.size() || ringClicks.empty()) {
        std::printf("capture_latency: the clicks do not pair up\n");
        status2 = 1;
    } else {
        const auto lags = diffsMs(ringClicks, refClicks);
        std::printf(
            "ring lag behind the reference (both recording): median %.2f ms, min %.2f ms, "
            "max %.2f ms over %zu clicks (goal <= 5 ms)\n",
            median(lags), percentile(lags, 0.0), percentile(lags, 1.0), lags.size());
    }
    if (ringAlone.size() != writtenAlone.size() || refAlone.size() != writtenRef.size() ||
        ringAlone.empty() || refAlone.empty()) {
        std::printf(
            "capture_latency: clicks missed while recording alone (ring %zu/%zu, reference "
            "%zu/%zu)\n",
            ringAlone.size(), writtenAlone.size(), refAlone.size(), writtenRef.size());
        return 1;
    }
    auto toMs = [](const std::vector<std::int64_t>& v) {
        std::vector<double> d;
        for (auto x : v)
            d.push_back(static_cast<double>(x) / 1e6);
        return d;
    };
    const auto ringAge = toMs(ringAges);
    const auto refAge = toMs(refAges);
    std::printf(
        "click age on arrival, each recording alone: ring median %.2f ms (min %.2f, max %.2f), "
        "reference median %.2f ms (min %.2f, max %.2f)\n",
        median(ringAge), percentile(ringAge, 0.0), percentile(ringAge, 1.0), median(refAge),
        percentile(refAge, 0.0), percentile(refAge, 1.0));
    std::printf(
        "ring lag behind the reference (each recording alone, from the ages): median %.2f ms "
        "(goal <= 5 ms)\n",
        median(ringAge) - median(refAge));
    const auto ringDelay = diffsMs(ringAlone, writtenAlone);
    const auto refDelay = diffsMs(refAlone, writtenRef);
    std::printf(
        "for information, write-to-ring %.2f ms and write-to-reference %.2f ms (medians, each "
        "alone; these include the playback path, which changes with the sink's latency)\n",
        median(ringDelay), median(refDelay));
    return status2;
}
