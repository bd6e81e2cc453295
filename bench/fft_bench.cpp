// The FFT request: BASS_ChannelGetData(handle, buf, 0x80000012), two 1024-point FFTs. Goal: median
// at most 30 µs. BM_FftRequest measures the real call on a live PulseAudio recording (skipped
// when no server answers); BM_FftOfTheRing the same work on a filled ring without a server.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "audio/FftAnalyser.h"
#include "audio/PulseAudioLibrary.h"
#include "audio/SampleRing.h"

namespace {

bool keep(modBass::HRECORD, const void*, std::uint32_t, void*) {
    return true;
}

void BM_FftRequest(benchmark::State& state) {
    modBass::PulseAudioLibrary lib;
    if (!lib.BASS_RecordInit(-1)) {
        state.SkipWithError("no PulseAudio server answers (BASS_RecordInit failed)");
        return;
    }
    const auto h = lib.BASS_RecordStart(44100, 2, 0, keep, nullptr);
    if (h == 0) {
        state.SkipWithError("BASS_RecordStart failed");
        return;
    }
    // Wait for data: without it the request only zero-fills (a null sink may take up to 2 s).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    while (lib.ring().framesWritten() < 2048 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (lib.ring().framesWritten() < 2048) {
        state.SkipWithError("the recording delivers no data");
        return;
    }
    std::array<float, modBass::kFftValues> buf{};
    for (auto _ : state) {
        const auto n = lib.BASS_ChannelGetData(h, buf.data(), modBass::kFftRequest);
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(buf.data());
    }
}
BENCHMARK(BM_FftRequest)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_FftOfTheRing(benchmark::State& state) {
    modBass::SampleRing ring;
    std::vector<float> tone(2 * 4096);
    for (int n = 0; n < 4096; ++n) {
        tone[2 * n] = static_cast<float>(std::sin(2 * std::numbers::pi * 40 * n / 1024.0));
        tone[2 * n + 1] = static_cast<float>(std::sin(2 * std::numbers::pi * 93 * n / 1024.0));
    }
    ring.write(tone.data(), 4096);
    modBass::FftAnalyser fft;
    std::array<float, modBass::kFftValues> buf{};
    for (auto _ : state) {
        fft.analyseNewest(ring, buf.data());
        benchmark::DoNotOptimize(buf.data());
    }
}
BENCHMARK(BM_FftOfTheRing)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
