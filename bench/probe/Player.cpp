#include "probe/Player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <cmath>
#include <numbers>
#include <random>

namespace probe {

namespace {

constexpr int kRate = 44100;
constexpr int kBlock = 441;  // 10 ms

pa_simple* openPlayback(const char* name, std::string& error) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32NE, kRate, 2};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = kBlock * 3 * 8;
    attr.prebuf = kBlock * 8;
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int err = 0;
    pa_simple* s = pa_simple_new(nullptr, "kf-probe", PA_STREAM_PLAYBACK, nullptr, name, &format,
                                 nullptr, &attr, &err);
    if (s == nullptr) {
        error = pa_strerror(err);
    }
    return s;
}

}  // namespace

bool playBursts(const BurstPlan& plan, std::string& error) {
    pa_simple* s = openPlayback("tone bursts", error);
    if (s == nullptr) {
        return false;
    }
    int err = 0;
    bool ok = true;
    auto write = [&](const std::vector<float>& b) {
        if (ok && pa_simple_write(s, b.data(), b.size() * sizeof(float), &err) < 0) {
            error = pa_strerror(err);
            ok = false;
        }
    };
    const std::vector<float> silence(2 * kBlock, 0.0F);
    for (int c = 0; c < 50; ++c) {
        write(silence);  // 500 ms lead-in
    }
    const int onFrames = plan.onMs * kRate / 1000;
    const int ramp = kRate / 500;  // 2 ms raised-cosine edges keep the onset tonal
    for (int k = 0; k < plan.count && ok; ++k) {
        const double f = plan.freqs[static_cast<std::size_t>(k) % plan.freqs.size()];
        std::vector<float> burst(2 * static_cast<std::size_t>(onFrames));
        for (int n = 0; n < onFrames; ++n) {
            double env = 1.0;
            if (n < ramp) {
                env = 0.5 - 0.5 * std::cos(std::numbers::pi * n / ramp);
            } else if (n >= onFrames - ramp) {
                env = 0.5 - 0.5 * std::cos(std::numbers::pi * (onFrames - n) / ramp);
            }
            const auto v = static_cast<float>(plan.amplitude * env *
                                              std::sin(2 * std::numbers::pi * f * n / kRate));
            burst[2 * static_cast<std::size_t>(n)] = v;
            burst[2 * static_cast<std::size_t>(n) + 1] = v;
        }
        write(burst);
        for (int c = 0; c < plan.gapMs / 10; ++c) {
            write(silence);
        }
    }
    for (int c = 0; c < 30; ++c) {
        write(silence);
    }
    if (ok) {
        pa_simple_drain(s, &err);
    }
    pa_simple_free(s);
    return ok;
}

bool NoisePlayer::start(std::string& error) {
    pa_simple* s = openPlayback("music-like noise", error);
    if (s == nullptr) {
        return false;
    }
    stop_ = false;
    thread_ = std::thread([this, s] { run(s); });
    return true;
}

void NoisePlayer::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void NoisePlayer::run(void* simple) {
    auto* s = static_cast<pa_simple*>(simple);
    std::mt19937 rng(42);
    std::uniform_real_distribution<float> white(-1.0F, 1.0F);
    // Pink noise: Paul Kellet's economy filter, one per channel.
    struct Pink {
        float b0 = 0, b1 = 0, b2 = 0;
        float next(float w) {
            b0 = 0.99765F * b0 + w * 0.0990460F;
            b1 = 0.96300F * b1 + w * 0.2965164F;
            b2 = 0.57000F * b2 + w * 1.0526913F;
            return (b0 + b1 + b2 + w * 0.1848F) * 0.05F;
        }
    } pink[2];
    std::vector<float> block(2 * kBlock);
    long n = 0;
    int err = 0;
    while (!stop_) {
        for (int i = 0; i < kBlock; ++i, ++n) {
            const long beat = n % (kRate / 2);               // 120 beats a minute
            const long hat = (n + kRate / 4) % (kRate / 2);  // off-beat hi-hat
            const double tb = static_cast<double>(beat) / kRate;
            const double kick =
                0.6 * std::exp(-tb * 25.0) *
                std::sin(2 * std::numbers::pi * (55.0 + 60.0 * std::exp(-tb * 40.0)) * tb);
            const double hh =
                hat < kRate / 33 ? 0.2 * std::exp(-static_cast<double>(hat) / 300.0) : 0.0;
            for (int c = 0; c < 2; ++c) {
                block[2 * static_cast<std::size_t>(i) + static_cast<std::size_t>(c)] =
                    pink[c].next(white(rng)) + static_cast<float>(kick + hh * white(rng));
            }
        }
        if (pa_simple_write(s, block.data(), block.size() * sizeof(float), &err) < 0) {
            failed_ = true;
            break;
        }
    }
    pa_simple_free(s);
}

}  // namespace probe
