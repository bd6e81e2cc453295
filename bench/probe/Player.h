#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace probe {

// Tone bursts into the default sink through libpulse-simple with a short playback buffer, in a
// steady stream of silence so the playback never underruns. Burst i has frequency
// freqs[i % freqs.size()]. Blocks until everything has been played.
struct BurstPlan {
    std::vector<double> freqs;
    int count = 50;
    int onMs = 200;
    int gapMs = 300;
    float amplitude = 0.5F;
};
bool playBursts(const BurstPlan& plan, std::string& error);

// Music-like noise (pink noise, a kick every 500 ms, a hi-hat between) into the default sink
// from its own thread until stop().
class NoisePlayer {
  public:
    ~NoisePlayer() { stop(); }
    bool start(std::string& error);
    void stop();
    bool failed() const { return failed_.load(); }

  private:
    void run(void* simple);
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

}  // namespace probe
