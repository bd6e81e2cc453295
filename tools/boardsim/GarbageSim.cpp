#include "boardsim/GarbageSim.h"

#include <algorithm>
#include <string_view>

namespace kf::boardsim {
namespace {

constexpr std::chrono::milliseconds kFloodPeriod{10};
constexpr std::string_view kAvoided = "ZMDETAL";

}  // namespace

GarbageBoard::GarbageBoard(GarbageOptions options) : options_(options), random_(options.seed) {}

std::string GarbageBoard::noise(std::size_t count) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out;
    out.reserve(count);
    while (out.size() < count) {
        auto c = static_cast<char>(byte(random_));
        if (kAvoided.find(c) == std::string_view::npos) {
            out += c;
        }
    }
    return out;
}

void GarbageBoard::received(std::string_view bytes, Link& link) {
    receivedCount_ += bytes.size();
    std::uniform_int_distribution<std::size_t> length(1,
                                                      std::max<std::size_t>(1, options_.maxReply));
    link.send(noise(length(random_)));
}

std::chrono::milliseconds GarbageBoard::tickInterval() const {
    return options_.flood ? kFloodPeriod : std::chrono::milliseconds{};
}

void GarbageBoard::tick(Link& link) {
    std::size_t perTick = options_.bytesPerSecond * kFloodPeriod.count() / 1000;
    if (perTick > 0) {
        link.send(noise(perTick));
    }
}

std::string GarbageBoard::summary() const {
    // Only what the program did: the noise sent changes all the time.
    return std::to_string(receivedCount_) + " bytes in";
}

}  // namespace kf::boardsim
