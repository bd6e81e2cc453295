#include "testkit/LampTones.h"

#include <cstddef>

namespace kftest {

namespace {

constexpr std::array<LampTone, 4> kBurstTones{kLamp3, kLamp4, kLamp5, kLamp6};

}  // namespace

Signal lampTone(LampTone tone, Ear ear, float level) {
    return sineAtBin(tone.bin, ear == Ear::Right ? 0.0F : level, ear == Ear::Left ? 0.0F : level);
}

BurstPlan lampBursts(int count) {
    BurstPlan plan;
    for (const LampTone& tone : kBurstTones) {
        plan.freqs.push_back(tone.hz());
    }
    plan.count = count;
    return plan;
}

int lampOfBurst(int burst) {
    return kBurstTones[static_cast<std::size_t>(burst) % kBurstTones.size()].lamp;
}

}  // namespace kftest
