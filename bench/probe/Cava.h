#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace probe {

using Clock = std::chrono::steady_clock;

// The peer visualiser for comparison: raw binary 16-bit output to a FIFO, read here with each
// complete frame timestamped on arrival.
class CavaPeer {
  public:
    struct Frame {
        Clock::time_point time;
        std::vector<std::uint16_t> bars;
    };
    // bars 0: leave the number of bars at cava's default (the frames are then only counted).
    CavaPeer(std::string dir, std::string source, int bars, bool mono);
    ~CavaPeer();
    CavaPeer(const CavaPeer&) = delete;
    CavaPeer& operator=(const CavaPeer&) = delete;

    bool start(const std::string& name, std::string& error);
    // Ends cava and the reader; returns cava's end status.
    std::string stop();

    pid_t pid() const { return pid_; }
    std::size_t frameCount() const { return count_.load(); }
    std::size_t bytes() const { return bytes_.load(); }
    std::vector<Frame> frames() const;
    bool waitForFrames(std::size_t n, Clock::duration timeout) const;
    const std::string& configPath() const { return config_; }

  private:
    void read(std::stop_token stop);

    std::string dir_;
    std::string source_;
    int bars_;
    bool mono_;
    std::string config_;
    std::string fifo_;
    int fd_ = -1;
    pid_t pid_ = -1;
    std::atomic<std::size_t> count_{0};
    std::atomic<std::size_t> bytes_{0};
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
    std::jthread reader_;
};

}  // namespace probe
