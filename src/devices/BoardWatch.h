#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/Timing.h"
#include "devices/BoardRegistry.h"
#include "devices/ComPorts.h"
#include "devices/PortWatcher.h"
#include "devices/SerialProbe.h"

namespace kf {

// Boards that come and go after start-up: watches the ports, probes each new one with the
// search's exchange while the show goes on, and decides through the registry which side a
// board takes. It reports what joined; opening the board's own port, setting it up and showing
// it are the window's part. Lost boards are reported to it by their owners.
class BoardWatch : public QObject {
    Q_OBJECT
  public:
    struct Joined {
        BoardKind kind = BoardKind::Icp12;
        int side = 0;
        std::int16_t commPort = 0;  // serial boards
        std::string path;           // serial boards: the device path
        std::string typeCode;       // Arduino: "ET", "AL" or "TM"
        std::int32_t address = -1;  // K8055
        bool returning = false;     // the same board as before, back on its side
    };
    // Mask of the K8055 boards present now (bit a for address a), without side effects.
    using HidScan = std::function<std::int32_t()>;

    BoardWatch(ComPorts& ports, const Timing& timing, QObject* parent = nullptr);
    ~BoardWatch() override;

    BoardRegistry& registry() { return registry_; }
    PortWatcher& watcher() { return *watcher_; }

    // Begins watching (once start-up has seated what it found); stop() ends it and drops any
    // probe under way, so nothing joins during the shutdown.
    void start(HidScan hidScan = {});
    void stop();

    // A serial board the start-up search found and opened on that side.
    void seated(BoardKind kind, int side, const std::string& path);

    // A board's line failed or its writes fail: its side is kept for it, and its port is
    // looked at afresh.
    void lost(BoardKind kind, int side);
    // The K8055 driver reached a lost board again.
    void k8055Back(std::int32_t address);

    std::function<void(const Joined&)> onJoined;
    // A board was identified but both sides of its kind are taken.
    std::function<void(BoardKind kind, const std::string& where)> onUnused;
    // A new port the user may not open.
    SerialPortControl::RefusedHandler onRefused;

    static constexpr int kHidLookIntervalMs = 1000;

  private:
    void appeared(const std::string& path);
    void vanished(const std::string& path);
    void probed(const std::string& path, std::int16_t commPort, const SerialProbe::Result& r);
    void scanHid();
    void join(Joined joined, const std::string& identity);

    ComPorts& ports_;
    const Timing& timing_;
    BoardRegistry registry_;
    std::unique_ptr<PortWatcher> watcher_;
    std::map<std::string, std::unique_ptr<SerialProbe>> probes_;
    // The device path of each seated serial board, so a lost one's path is looked at again.
    std::map<std::pair<BoardKind, int>, std::string> paths_;
    HidScan hidScan_;
    QTimer hidTick_;
    bool running_ = false;
};

}  // namespace kf
