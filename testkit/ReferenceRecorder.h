#pragma once

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace kftest {

// The reference every latency figure is measured against: a plain pa_stream on the source
// with the smallest fragment size the server grants, each fragment timestamped on arrival. An
// onset is the arrival of the first fragment holding a sample above the threshold after at
// least `quiet` of samples below it; its age is how long the onset had waited in that fragment
// (the frames after it), which is what the fragment size adds.
class ReferenceRecorder {
  public:
    using Clock = std::chrono::steady_clock;

    explicit ReferenceRecorder(float threshold = 0.05F,
                               Clock::duration quiet = std::chrono::milliseconds(100));
    ~ReferenceRecorder();
    ReferenceRecorder(const ReferenceRecorder&) = delete;
    ReferenceRecorder& operator=(const ReferenceRecorder&) = delete;

    bool start(const std::string& source, std::string& error);
    void stop();

    std::vector<Clock::time_point> onsets() const;
    std::vector<Clock::duration> ages() const;
    // Forgets the onsets so far: a new round of measurements begins.
    void clear();
    std::uint32_t fragsize() const { return fragsize_; }
    // The source the server actually records.
    const std::string& device() const { return device_; }
    std::size_t fragments() const { return fragments_.load(); }

  private:
    void onRead(pa_stream* s);

    float threshold_;
    Clock::duration quiet_;
    pa_threaded_mainloop* ml_ = nullptr;
    pa_context* ctx_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::uint32_t fragsize_ = 0;
    std::string device_;
    std::atomic<std::size_t> fragments_{0};
    Clock::time_point lastLoud_{};
    bool anyLoud_ = false;
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> onsets_;
    std::vector<Clock::duration> ages_;
};

}  // namespace kftest
