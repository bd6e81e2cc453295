#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kftest {

// The far end of an output with a deep buffer, as a Bluetooth speaker or a USB card has: the
// server's pipe sink renders into a FIFO as fast as the FIFO takes it, and this speaker plays
// the FIFO at exactly 44100 frames a second (float32 stereo, 176400 bytes a second), so what the
// FIFO holds is the output's latency. An onset is the time the speaker plays the first sample
// above the threshold after at least `quiet` of samples below it. When the FIFO runs dry the
// speaker plays silence, as a sound card does.
class FifoSpeaker {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FifoSpeaker(float threshold = 0.05F,
                         std::chrono::milliseconds quiet = std::chrono::milliseconds(100));
    ~FifoSpeaker();
    FifoSpeaker(const FifoSpeaker&) = delete;
    FifoSpeaker& operator=(const FifoSpeaker&) = delete;

    // Makes the output `sink` on the server (module-pipe-sink into a FIFO of the speaker's own)
    // and starts playing it.
    bool start(const std::string& server, const std::string& sink, std::string& error);
    void stop();

    std::vector<Clock::time_point> onsets() const;
    void clear();
    // Milliseconds of sound the speaker has played so far.
    double playedMs() const { return static_cast<double>(played_.load()) * 1000.0 / 44100.0; }

  private:
    void run();

    float threshold_;
    std::chrono::milliseconds quiet_;
    std::string dir_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<long long> played_{0};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> onsets_;
};

}  // namespace kftest
