#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "avrsim/AvrSim.h"

namespace kf::boardsim {
class Pty;
}

namespace kf::avrsim {

// Runs an AvrSim in real time on a thread of its own and joins its UART to a pseudo-terminal:
// what is written to the slave reaches the firmware at line speed, what the firmware sends can
// be read there. The slave stays open on our side as well, so the program may open and close
// it as often as it likes.
class PtyBridge {
  public:
    explicit PtyBridge(AvrSim& sim);
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& slavePath() const;

    // Runs fn with the simulation stopped between two slices.
    void withSim(const std::function<void(AvrSim&)>& fn);
    // Waits (wall time) until pred holds, checked after every slice.
    bool waitFor(const std::function<bool(const AvrSim&)>& pred, std::chrono::milliseconds timeout);

  private:
    void run();

    AvrSim& sim_;
    std::unique_ptr<boardsim::Pty> pty_;
    std::mutex mutex_;
    std::condition_variable sliced_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kf::avrsim
