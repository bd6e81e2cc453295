#pragma once
// Plays a generated stereo signal into a PulseAudio sink from its own thread. The playback
// buffer is long enough that a busy machine does not run it dry: an underrun is a click, and
// a click lights every band.

#include <pulse/error.h>
#include <pulse/simple.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kfe2e {

// One stereo sample (left, right) for sample index n at 44100 Hz.
using Signal = std::function<std::pair<float, float>(long long n)>;

inline constexpr double kRate = 44100.0;

// A sine exactly at the centre of FFT bin `bin` (1024-point bins of 43.07 Hz), so that it
// falls in one band and leaks into no other. It fades in over 200 ms: a sine switched on at
// once is a click, and a click is heard in every band.
inline Signal sineAtBin(int bin, float left, float right) {
    return [=](long long n) {
        constexpr long long kFade = 8820;
        const double w = 2.0 * std::numbers::pi * bin / 1024.0;
        const double fade =
            n >= kFade ? 1.0
                       : 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(n) / kFade);
        const auto v = static_cast<float>(fade * std::sin(w * static_cast<double>(n % 1024)));
        return std::pair{left * v, right * v};
    };
}

// White noise, independent on the two channels, uniform in [-amplitude, amplitude]; `on`
// says for each sample whether the noise sounds (bursts) or the line is silent.
inline Signal noise(float amplitude, std::function<bool(long long)> on = {}) {
    auto random = std::make_shared<std::mt19937>(12345);
    return [=](long long n) {
        std::uniform_real_distribution<float> d(-amplitude, amplitude);
        const float l = d(*random);
        const float r = d(*random);
        if (on && !on(n)) {
            return std::pair{0.0f, 0.0f};
        }
        return std::pair{l, r};
    };
}

class SignalPlayer {
  public:
    // server: nullptr for PULSE_SERVER / the default server.
    explicit SignalPlayer(Signal signal, std::optional<std::string> server = std::nullopt)
        : signal_(std::move(signal)), server_(std::move(server)) {
        thread_ = std::thread([this] { run(); });
    }
    ~SignalPlayer() { stop(); }
    SignalPlayer(const SignalPlayer&) = delete;
    SignalPlayer& operator=(const SignalPlayer&) = delete;

    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Waits until the first block went to the server; false when playing failed.
    bool waitStarted(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!started_ && !failed_ && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return started_;
    }
    bool failed() const { return failed_; }
    // Samples handed to the server so far.
    long long played() const { return played_; }

  private:
    void run() {
        pa_sample_spec format{PA_SAMPLE_FLOAT32NE, 44100, 2};
        constexpr std::uint32_t frameBytes = 8;
        pa_buffer_attr attr{};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.tlength = 441 * 15 * frameBytes;  // 150 ms
        attr.prebuf = 441 * 5 * frameBytes;
        attr.minreq = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(-1);
        int err = 0;
        pa_simple* s =
            pa_simple_new(server_ ? server_->c_str() : nullptr, "kf-e2e", PA_STREAM_PLAYBACK,
                          nullptr, "test signal", &format, nullptr, &attr, &err);
        if (s == nullptr) {
            failed_ = true;
            return;
        }
        std::vector<float> block(441 * 2);
        long long n = 0;
        while (!stop_) {
            for (int i = 0; i < 441; ++i, ++n) {
                auto [l, r] = signal_(n);
                block[2 * i] = l;
                block[2 * i + 1] = r;
            }
            if (pa_simple_write(s, block.data(), block.size() * sizeof(float), &err) < 0) {
                failed_ = true;
                break;
            }
            played_ = n;
            started_ = true;
        }
        pa_simple_free(s);
    }

    Signal signal_;
    std::optional<std::string> server_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> failed_{false};
    std::atomic<long long> played_{0};
    std::thread thread_;
};

}  // namespace kfe2e
