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

struct BridgeOptions {
    // A Nano resets when its port is opened (the USB chip's DTR line pulls its reset pin) and
    // its bootloader then listens for an upload before it starts the firmware; what arrives
    // meanwhile is lost. Off: the slave stays open on our side and opens are not seen.
    bool resetOnOpen = true;
    std::chrono::milliseconds bootTime{500};
};

// Runs an AvrSim in real time on a thread of its own and joins its UART to a pseudo-terminal:
// what is written to the slave reaches the firmware at line speed, what the firmware sends can
// be read there. The program may open and close the slave as often as it likes; each open
// resets the board unless the options say otherwise.
class PtyBridge {
  public:
    explicit PtyBridge(AvrSim& sim, BridgeOptions options = {});
    ~PtyBridge();
    PtyBridge(const PtyBridge&) = delete;
    PtyBridge& operator=(const PtyBridge&) = delete;

    const std::string& slavePath() const;

    // Runs fn with the simulation stopped between two slices.
    void withSim(const std::function<void(AvrSim&)>& fn);
    // Waits (wall time) until pred holds, checked after every slice.
    bool waitFor(const std::function<bool(const AvrSim&)>& pred, std::chrono::milliseconds timeout);

    // How often the board was reset by an open of its port.
    int resetCount() const { return resets_; }

  private:
    void run();
    bool slaveOpen() const;
    // Whether the slave was opened since the last call, as the kernel reports each open.
    bool openedSince();

    AvrSim& sim_;
    BridgeOptions options_;
    std::atomic<int> resets_{0};
    std::unique_ptr<boardsim::Pty> pty_;
    int opens_ = -1;  // inotify on the slave: every open, however short the gap after a close
    std::mutex mutex_;
    std::condition_variable sliced_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kf::avrsim
