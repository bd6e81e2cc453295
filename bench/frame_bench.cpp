// One whole frame of the window: the frame timer's handler (the FFT request,
// KleurFlitsMod::SpectrumAnalyse, LedBesturing for the eight bands, the lamp colours, the auto
// level and the bar pictures handed to the picture boxes) on a window built with no boards, on
// the platform QT_QPA_PLATFORM names (offscreen when unset). Apart from BM_FramePainted the
// picture boxes only queue their repaints, and the event loop never runs while the frames are
// timed, so no painting is measured.
//
//  BM_FrameFftAlone        the FFT request alone (Hann window and two 1024-point FFTs)
//  BM_FrameRealFft/steady  a frame whose audio library runs that FFT on a filled ring
//  BM_FrameMagnitudes/...  a frame whose audio library hands out precomputed magnitudes:
//                          the frame beyond the FFT request. "steady" repeats one spectrum,
//                          so the lamps never change; "changing" cycles through eight, so
//                          lamp colours and the threshold change from frame to frame.
//  BM_FramePainted/...     the "changing" frame followed by the window's repaint it asks for
//                          (pictures, lamps and threshold bar painted and flushed to the
//                          platform), on a shown window: what a frame costs the main thread
//                          apart from waking up.
// Goals: median of the frame beyond the FFT request at most 20 µs; the painted frame, CPU time,
// at most 50 µs (half of 1 % of a core at 100 frames a second).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <vector>

#include "app/KleurFlitsFrm.h"
#include "audio/FftAnalyser.h"
#include "audio/SampleRing.h"
#include "devices/k8055d.h"
#include "support/FakeAudioLibrary.h"
#include "support/RecordingBoxes.h"

namespace {

using Spectrum = std::array<float, modBass::kFftValues>;

// No K8055 boards: the search finds nothing.
class NoHid final : public k8055d::HidTransport {
  public:
    std::vector<k8055d::HidDeviceInfo> enumerate(std::uint16_t) override { return {}; }
    std::unique_ptr<k8055d::HidDevice> open(const std::string&) override { return nullptr; }
};

// Music-like stereo: a few tones with harmonics over some noise, different per variant.
std::vector<float> musicLike(int variant, int frames) {
    std::mt19937 rng(static_cast<unsigned>(1234 + variant));
    std::normal_distribution<float> noise(0.0F, 0.02F);
    const double base = 60.0 * std::pow(1.5, variant % 8);
    std::vector<float> out(2 * static_cast<std::size_t>(frames));
    for (int n = 0; n < frames; ++n) {
        const double t = n / 44100.0;
        double l = 0.0;
        double r = 0.0;
        for (int h = 1; h <= 4; ++h) {
            l += 0.25 / h * std::sin(2 * std::numbers::pi * base * h * t);
            r += 0.25 / h * std::sin(2 * std::numbers::pi * base * 1.26 * h * t + 0.3);
        }
        out[2 * static_cast<std::size_t>(n)] = static_cast<float>(l) + noise(rng);
        out[2 * static_cast<std::size_t>(n) + 1] = static_cast<float>(r) + noise(rng);
    }
    return out;
}

Spectrum spectrumOf(int variant) {
    modBass::SampleRing ring;
    const auto samples = musicLike(variant, 2048);
    ring.write(samples.data(), 2048);
    modBass::FftAnalyser fft;
    Spectrum s{};
    fft.analyseNewest(ring, s.data());
    return s;
}

// The fake audio library of the tests, optionally with the real FFT request on a filled ring.
class BenchAudio : public kf::test::FakeAudioLibrary {
  public:
    bool realFft = false;
    std::vector<Spectrum> spectra;  // handed out in turn when realFft is false
    std::size_t next = 0;
    modBass::SampleRing ring;
    modBass::FftAnalyser analyser;

    std::int32_t BASS_ChannelGetData(modBass::HRECORD, float* buffer, std::uint32_t) override {
        if (realFft) {
            analyser.analyseNewest(ring, buffer);
        } else {
            const Spectrum& s = spectra[next];
            next = (next + 1) % spectra.size();
            std::copy(s.begin(), s.end(), buffer);
        }
        return static_cast<std::int32_t>(modBass::kFftValues * sizeof(float));
    }
};

// A started window with no boards, its frame timer stopped so that only our calls run frames.
struct Bench {
    BenchAudio audio;
    NoHid hid;
    k8055d::K8055Driver k8055{hid};
    kf::test::RecordingBoxes boxes;
    kf::EventLoopWaits waits;
    kf::ComPorts ports{std::vector<std::string>{}};
    std::unique_ptr<kf::KleurFlitsFrm> form;

    bool start() {
        form = std::make_unique<kf::KleurFlitsFrm>(
            kf::FormDependencies{audio, ports, k8055, boxes, waits, kf::Timing{}, [](int) {}});
        if (form->Form_Load() != kf::KleurFlitsFrm::kStartedOk) {
            return false;
        }
        form->tmrLiveSpec.stop();
        return true;
    }
    void frame() { QMetaObject::invokeMethod(&form->tmrLiveSpec, "timeout", Qt::DirectConnection); }
};

void runFrames(benchmark::State& state, Bench& b) {
    if (!b.start()) {
        state.SkipWithError("the window did not start");
        return;
    }
    for (int i = 0; i < 200; ++i) {
        b.frame();  // settle the auto level
    }
    QCoreApplication::processEvents();
    for (auto _ : state) {
        b.frame();
    }
    QCoreApplication::processEvents();  // the queued repaints, outside the timing
}

void BM_FrameMagnitudes(benchmark::State& state) {
    Bench b;
    const int count = static_cast<int>(state.range(0));
    for (int v = 0; v < count; ++v) {
        b.audio.spectra.push_back(spectrumOf(v));
    }
    runFrames(state, b);
}
BENCHMARK(BM_FrameMagnitudes)
    ->ArgName("spectra")
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

// The frame and the repaint it queued, on a shown window: everything but the wake-ups.
void BM_FramePainted(benchmark::State& state) {
    Bench b;
    const int count = static_cast<int>(state.range(0));
    for (int v = 0; v < count; ++v) {
        b.audio.spectra.push_back(spectrumOf(v));
    }
    if (!b.start()) {
        state.SkipWithError("the window did not start");
        return;
    }
    b.form->setPaintPaced(false);  // every frame painted, as the figure says
    b.form->show();
    for (int i = 0; i < 200; ++i) {
        b.frame();
        QCoreApplication::processEvents();
    }
    for (auto _ : state) {
        b.frame();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    }
    QCoreApplication::processEvents();
}
BENCHMARK(BM_FramePainted)
    ->ArgName("spectra")
    ->Arg(1)
    ->Arg(8)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

void BM_FrameRealFft(benchmark::State& state) {
    Bench b;
    b.audio.realFft = true;
    const auto samples = musicLike(0, 4096);
    b.audio.ring.write(samples.data(), 4096);
    runFrames(state, b);
}
BENCHMARK(BM_FrameRealFft)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

void BM_FrameFftAlone(benchmark::State& state) {
    modBass::SampleRing ring;
    const auto samples = musicLike(0, 4096);
    ring.write(samples.data(), 4096);
    modBass::FftAnalyser fft;
    Spectrum out{};
    for (auto _ : state) {
        fft.analyseNewest(ring, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_FrameFftAlone)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);  // scripts/bench also runs it on Xvfb
    // The window must not look for serial devices of the machine.
    ::setenv("KLEURFLITS_SERIAL_PORTS", "", 1);
    QApplication app(argc, argv);
    ::benchmark::Initialize(&argc, argv);
    if (::benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
