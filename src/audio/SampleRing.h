#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace modBass {

// The newest interleaved stereo float frames. One writer (the capture thread) and any number
// of readers (the user-interface thread); every call is thread-safe and holds a mutex only for
// the copy itself. No allocation after construction.
class SampleRing {
  public:
    static constexpr int kChannels = 2;
    // Frames, ~1.5 s at 44100 Hz: an FFT window that ends a second (the longest output delay
    // followed) before the newest frame, with room for a late burst of fragments.
    static constexpr int kDefaultCapacity = 65536;

    explicit SampleRing(int capacityFrames = kDefaultCapacity);

    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    // Appends `frames` interleaved frames (2 floats each). More than the capacity keeps the last.
    void write(const float* interleaved, int frames);
    // Appends `frames` frames of silence (a hole in the recorded data).
    void writeSilence(int frames);
    // Forgets everything: the ring reads as silence again.
    void clear();

    // Copies `frames` frames, oldest first, into dst (2 * frames floats): the newest ones, or
    // with `skip` those that end `skip` frames before the newest. Where fewer frames have been
    // written since construction or the last clear(), the oldest part of dst is zero-filled; so
    // is anything beyond the capacity.
    void copyNewest(float* dst, int frames, int skip = 0) const;

    int capacity() const { return capacity_; }
    // Frames currently held (at most the capacity).
    int filled() const;
    // Frames written since construction (clear() does not reset it); lock-free.
    std::uint64_t framesWritten() const { return framesWritten_.load(std::memory_order_acquire); }

  private:
    void writeLocked(const float* interleaved, int frames);

    const int capacity_;
    std::vector<float> data_;  // capacity_ * kChannels
    mutable std::mutex mutex_;
    int head_ = 0;    // index of the frame written next
    int filled_ = 0;  // valid frames, <= capacity_
    std::atomic<std::uint64_t> framesWritten_{0};
};

}  // namespace modBass
