#include "devices/BoardWatch.h"

#include <cstdio>

namespace kf {

BoardWatch::BoardWatch(ComPorts& ports, const Timing& timing, QObject* parent)
    : QObject(parent),
      ports_(ports),
      timing_(timing),
      watcher_(std::make_unique<PortWatcher>(
          ports.system() ? std::vector<std::string>{} : ports.devices(), ports.system())) {
    connect(watcher_.get(), &PortWatcher::appeared, this, &BoardWatch::appeared);
    connect(watcher_.get(), &PortWatcher::vanished, this, &BoardWatch::vanished);
    connect(watcher_.get(), &PortWatcher::hidChanged, this, &BoardWatch::scanHid);
    hidTick_.setInterval(kHidLookIntervalMs);
    connect(&hidTick_, &QTimer::timeout, this, &BoardWatch::scanHid);
}

BoardWatch::~BoardWatch() {
    stop();
}

void BoardWatch::start(HidScan hidScan) {
    hidScan_ = std::move(hidScan);
    running_ = true;
    watcher_->start();
    if (hidScan_) {
        hidTick_.start();
    }
}

void BoardWatch::stop() {
    running_ = false;
    hidTick_.stop();
    watcher_->stop();
    // A probe's port closes with it; its result is never reported.
    for (auto& [path, probe] : probes_) {
        probe.release()->deleteLater();
    }
    probes_.clear();
}

void BoardWatch::seated(BoardKind kind, int side, const std::string& path) {
    registry_.seat(kind, side, serialIdentity(path));
    paths_[{kind, side}] = path;
}

void BoardWatch::lost(BoardKind kind, int side) {
    registry_.lose(kind, side);
    const auto it = paths_.find({kind, side});
    if (it != paths_.end()) {
        watcher_->forget(it->second);
    }
}

void BoardWatch::k8055Back(std::int32_t address) {
    registry_.arrive(BoardKind::K8055, std::to_string(address));
}

void BoardWatch::appeared(const std::string& path) {
    if (!running_ || probes_.contains(path)) {
        return;
    }
    const std::string identity = serialIdentity(path);
    for (BoardKind kind : {BoardKind::Icp12, BoardKind::Arduino}) {
        if (registry_.sideOf(kind, identity) != 0) {
            return;  // a board that is there and working
        }
    }
    const std::int16_t n = ports_.include(path);
    if (n == 0) {
        return;
    }
    registry_.probing(identity);
    auto probe = std::make_unique<SerialProbe>(ports_, n, timing_);
    SerialProbe* raw = probe.get();
    raw->setRefusedHandler(onRefused);
    probes_[path] = std::move(probe);
    raw->start([this, path, n](const SerialProbe::Result& r) { probed(path, n, r); });
}

void BoardWatch::vanished(const std::string& path) {
    const auto it = probes_.find(path);
    if (it != probes_.end()) {
        it->second.release()->deleteLater();
        probes_.erase(it);
        registry_.probeEnded(serialIdentity(path));
    }
}

void BoardWatch::probed(const std::string& path, std::int16_t commPort,
                        const SerialProbe::Result& r) {
    const auto it = probes_.find(path);
    if (it != probes_.end()) {
        it->second.release()->deleteLater();  // we are inside its callback
        probes_.erase(it);
    }
    if (!running_ || r.found == SerialProbe::Found::Nothing) {
        registry_.probeEnded(serialIdentity(path));
        return;  // looked at again only when it reappears
    }
    Joined joined;
    joined.kind = r.found == SerialProbe::Found::Icp12 ? BoardKind::Icp12 : BoardKind::Arduino;
    joined.commPort = commPort;
    joined.path = path;
    joined.typeCode = r.typeCode;
    join(std::move(joined), serialIdentity(path));
}

void BoardWatch::scanHid() {
    if (!running_ || !hidScan_) {
        return;
    }
    const std::int32_t mask = hidScan_();
    for (std::int32_t address = 0; address < 4; ++address) {
        if ((mask & (1 << address)) == 0) {
            continue;
        }
        const std::string identity = std::to_string(address);
        // Boards seated before, present or lost, are the driver's to reach again.
        bool known = false;
        for (int side : {1, 2}) {
            const auto& seat = registry_.at(BoardKind::K8055, side);
            known =
                known || (seat.state != BoardRegistry::State::Absent && seat.identity == identity);
        }
        if (known) {
            continue;
        }
        Joined joined;
        joined.kind = BoardKind::K8055;
        joined.address = address;
        join(std::move(joined), identity);
    }
}

void BoardWatch::join(Joined joined, const std::string& identity) {
    const int before = [&] {
        for (int side : {1, 2}) {
            const auto& seat = registry_.at(joined.kind, side);
            if ((seat.state == BoardRegistry::State::Lost ||
                 seat.state == BoardRegistry::State::Probing) &&
                seat.identity == identity) {
                return side;
            }
        }
        return 0;
    }();
    const int side = registry_.arrive(joined.kind, identity);
    if (side == 0) {
        if (onUnused) {
            onUnused(joined.kind,
                     joined.kind == BoardKind::K8055 ? "card " + identity : joined.path);
        }
        return;
    }
    joined.side = side;
    joined.returning = before == side;
    if (joined.kind != BoardKind::K8055) {
        paths_[{joined.kind, side}] = joined.path;
    }
    if (onJoined) {
        onJoined(joined);
    }
}

}  // namespace kf
