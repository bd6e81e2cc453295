#include "audio/SampleRing.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace modBass {

SampleRing::SampleRing(int capacityFrames)
    : capacity_(capacityFrames),
      data_(static_cast<std::size_t>(std::max(capacityFrames, 1)) * kChannels, 0.0f) {
    if (capacityFrames <= 0) {
        throw std::invalid_argument("SampleRing: capacity must be positive");
    }
}

void SampleRing::writeLocked(const float* interleaved, int frames) {
    // Only the last capacity_ frames can survive.
    if (frames > capacity_) {
        if (interleaved != nullptr) {
            interleaved += static_cast<std::size_t>(frames - capacity_) * kChannels;
        }
        frames = capacity_;
    }
    int done = 0;
    while (done < frames) {
        const int chunk = std::min(frames - done, capacity_ - head_);
        float* dst = data_.data() + static_cast<std::size_t>(head_) * kChannels;
        const std::size_t bytes = static_cast<std::size_t>(chunk) * kChannels * sizeof(float);
        if (interleaved != nullptr) {
            std::memcpy(dst, interleaved + static_cast<std::size_t>(done) * kChannels, bytes);
        } else {
            std::memset(dst, 0, bytes);
        }
        done += chunk;
        head_ = (head_ + chunk) % capacity_;
    }
    filled_ = std::min(capacity_, filled_ + frames);
}

void SampleRing::write(const float* interleaved, int frames) {
    if (frames <= 0 || interleaved == nullptr) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        writeLocked(interleaved, frames);
    }
    framesWritten_.fetch_add(static_cast<std::uint64_t>(frames), std::memory_order_acq_rel);
}

void SampleRing::writeSilence(int frames) {
    if (frames <= 0) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        writeLocked(nullptr, frames);
    }
    framesWritten_.fetch_add(static_cast<std::uint64_t>(frames), std::memory_order_acq_rel);
}

void SampleRing::clear() {
    std::lock_guard lock(mutex_);
    std::fill(data_.begin(), data_.end(), 0.0f);
    head_ = 0;
    filled_ = 0;
}

int SampleRing::filled() const {
    std::lock_guard lock(mutex_);
    return filled_;
}

void SampleRing::copyNewest(float* dst, int frames, int skip) const {
    if (dst == nullptr || frames <= 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    skip = std::clamp(skip, 0, filled_);
    const int available = std::min(frames, filled_ - skip);
    const int zeros = frames - available;
    if (zeros > 0) {
        std::memset(dst, 0, static_cast<std::size_t>(zeros) * kChannels * sizeof(float));
    }
    float* out = dst + static_cast<std::size_t>(zeros) * kChannels;
    // The oldest of the frames wanted sits `skip + available` frames behind the head.
    int start = (head_ - skip - available) % capacity_;
    if (start < 0) {
        start += capacity_;
    }
    int done = 0;
    while (done < available) {
        const int chunk = std::min(available - done, capacity_ - start);
        std::memcpy(out + static_cast<std::size_t>(done) * kChannels,
                    data_.data() + static_cast<std::size_t>(start) * kChannels,
                    static_cast<std::size_t>(chunk) * kChannels * sizeof(float));
        done += chunk;
        start = (start + chunk) % capacity_;
    }
}

}  // namespace modBass
