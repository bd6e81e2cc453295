#include "testkit/Signals.h"

#include <cmath>
#include <memory>
#include <numbers>
#include <random>

namespace kftest {

namespace {

constexpr long long kBlock = 441;  // 10 ms
constexpr long long kBurstLeadIn = 50 * kBlock;
constexpr long long kClickLeadIn = 30 * kBlock;
constexpr long long kClickPeriod = 25 * kBlock;
constexpr long long kClickFrames = 88;

}  // namespace

Signal sineAtBin(int bin, float left, float right, bool fadeIn) {
    return [=](long long n) {
        constexpr long long kFade = 8820;
        const double w = 2.0 * std::numbers::pi * bin / 1024.0;
        const double fade =
            !fadeIn || n >= kFade
                ? 1.0
                : 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(n) / kFade);
        const auto v = static_cast<float>(fade * std::sin(w * static_cast<double>(n % 1024)));
        return std::pair{left * v, right * v};
    };
}

Signal noise(float amplitude, std::function<bool(long long)> on) {
    auto random = std::make_shared<std::mt19937>(12345);
    return [=](long long n) {
        std::uniform_real_distribution<float> d(-amplitude, amplitude);
        const float l = d(*random);
        const float r = d(*random);
        if (on && !on(n)) {
            return std::pair{0.0F, 0.0F};
        }
        return std::pair{l, r};
    };
}

Signal musicNoise() {
    // Pink noise: Paul Kellet's economy filter, one per channel.
    struct Pink {
        float b0 = 0, b1 = 0, b2 = 0;
        float next(float w) {
            b0 = 0.99765F * b0 + w * 0.0990460F;
            b1 = 0.96300F * b1 + w * 0.2965164F;
            b2 = 0.57000F * b2 + w * 1.0526913F;
            return (b0 + b1 + b2 + w * 0.1848F) * 0.05F;
        }
    };
    struct State {
        std::mt19937 rng{42};
        std::uniform_real_distribution<float> white{-1.0F, 1.0F};
        Pink pink[2];
    };
    auto s = std::make_shared<State>();
    return [s](long long n) {
        const long long beat = n % (kRate / 2);               // 120 beats a minute
        const long long hat = (n + kRate / 4) % (kRate / 2);  // off-beat hi-hat
        const double tb = static_cast<double>(beat) / kRate;
        const double kick =
            0.6 * std::exp(-tb * 25.0) *
            std::sin(2 * std::numbers::pi * (55.0 + 60.0 * std::exp(-tb * 40.0)) * tb);
        const double hh =
            hat < kRate / 33 ? 0.2 * std::exp(-static_cast<double>(hat) / 300.0) : 0.0;
        float out[2];
        for (int c = 0; c < 2; ++c) {
            out[c] = s->pink[c].next(s->white(s->rng)) +
                     static_cast<float>(kick + hh * s->white(s->rng));
        }
        return std::pair{out[0], out[1]};
    };
}

Signal toneBursts(const BurstPlan& plan) {
    const long long on = static_cast<long long>(plan.onMs) * kRate / 1000;
    const long long period = on + static_cast<long long>(plan.gapMs / 10) * kBlock;
    const long long ramp = kRate / 500;
    return [=](long long n) {
        if (n < kBurstLeadIn) {
            return std::pair{0.0F, 0.0F};
        }
        const long long k = (n - kBurstLeadIn) / period;
        const long long i = (n - kBurstLeadIn) % period;
        if (k >= plan.count || i >= on) {
            return std::pair{0.0F, 0.0F};
        }
        double env = 1.0;
        if (i < ramp) {
            env = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / ramp);
        } else if (i >= on - ramp) {
            env = 0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(on - i) / ramp);
        }
        const double f = plan.freqs[static_cast<std::size_t>(k) % plan.freqs.size()];
        const auto v =
            static_cast<float>(plan.amplitude * env *
                               std::sin(2 * std::numbers::pi * f * static_cast<double>(i) / kRate));
        return std::pair{v, v};
    };
}

long long lengthOf(const BurstPlan& plan) {
    const long long on = static_cast<long long>(plan.onMs) * kRate / 1000;
    const long long period = on + static_cast<long long>(plan.gapMs / 10) * kBlock;
    return kBurstLeadIn + plan.count * period + 30 * kBlock;
}

long long clickStart(int k) {
    return kClickLeadIn + k * kClickPeriod + (static_cast<long long>(k) * 157) % 352;
}

Signal clicks(int count) {
    return [count](long long n) {
        if (n < kClickLeadIn) {
            return std::pair{0.0F, 0.0F};
        }
        const auto k = static_cast<int>((n - kClickLeadIn) / kClickPeriod);
        const long long i = n - clickStart(k);
        if (k >= count || i < 0 || i >= kClickFrames) {
            return std::pair{0.0F, 0.0F};
        }
        const float v = i % 2 != 0 ? -0.9F : 0.9F;
        return std::pair{v, v};
    };
}

long long clicksLength(int count) {
    return kClickLeadIn + count * kClickPeriod + 30 * kBlock;
}

}  // namespace kftest
