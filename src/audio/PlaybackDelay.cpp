#include "audio/PlaybackDelay.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace modBass {

int PlaybackDelay::target(const Latency& latency) {
    if (latency.kind == Latency::Kind::Live) {
        return 0;
    }
    const std::int64_t outputFrames = std::max<std::int64_t>(latency.us, 0) * kRate / 1000000;
    const std::int64_t wanted = outputFrames + userFrames_;
    if (wanted > kMaxFrames) {
        if (!toldCap_ && notices_ != nullptr) {
            std::fprintf(notices_,
                         "kleurflits-stereo: the speakers play the sound %lld ms after it is "
                         "recorded; the lamps wait at most %d ms, so they light early\n",
                         static_cast<long long>(wanted * 1000 / kRate), kMaxMs);
            std::fflush(notices_);
        }
        toldCap_ = true;
        return kMaxFrames;
    }
    return static_cast<int>(wanted);
}

int PlaybackDelay::next(const Latency& latency) {
    if (latency.kind == Latency::Kind::Unknown) {
        return current_;  // keep to what was followed until the server answers
    }
    const int wanted = target(latency);
    if (!settled_) {
        // Nothing was shown against another delay yet: no need to glide.
        current_ = wanted;
        settled_ = true;
    } else {
        current_ += std::clamp(wanted - current_, -kStepFrames, kStepFrames);
    }
    return current_;
}

std::optional<int> PlaybackDelay::parseUserMs(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return std::nullopt;  // also no sign and no leading blank
    }
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > kMaxMs) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

int PlaybackDelay::userMsFromEnvironment(std::FILE* notices) {
    const char* text = std::getenv("KLEURFLITS_DELAY_MS");
    if (text == nullptr) {
        return 0;
    }
    if (const auto ms = parseUserMs(text)) {
        return *ms;
    }
    if (notices != nullptr) {
        std::fprintf(notices,
                     "kleurflits-stereo: KLEURFLITS_DELAY_MS=\"%s\" is not usable (a whole number "
                     "of milliseconds from 0 to %d): no delay is added\n",
                     text, kMaxMs);
        std::fflush(notices);
    }
    return 0;
}

}  // namespace modBass
