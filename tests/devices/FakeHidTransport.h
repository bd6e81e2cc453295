#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "devices/BackgroundHidDevice.h"
#include "devices/k8055d.h"

namespace kftest {

// A HID transport without hardware. Devices can be plugged and unplugged at any time, opens
// refused and writes failed or cut short; every call is recorded with its exact bytes.
// Writes can be made to take real time, as an interrupt transfer does, and can run on the
// writer thread the hidapi transport gives every board; the fake is then safe to use from that
// thread and the test's at once.
class FakeHidTransport final : public k8055d::HidTransport {
  public:
    struct Event {
        enum class Kind { Enumerate, Open, OpenRefused, Write, WriteFailed, Close };
        Kind kind;
        std::string path;                 // empty for Enumerate
        std::vector<std::uint8_t> bytes;  // Write and WriteFailed only
        bool operator==(const Event&) const = default;
    };

    // Called on the writing thread when a write starts and when it has ended, with its event.
    struct WriteObserver {
        std::function<void(const std::string& path)> started;
        std::function<void(const Event& event)> ended;
    };

    static std::string pathOf(int address) { return "/dev/hidraw" + std::to_string(address); }

    // A board with the given address (0..3) at /dev/hidraw<address> unless a path is given.
    void plugBoard(int address, std::optional<std::string> path = std::nullopt) {
        plug({k8055d::kVendorId, static_cast<std::uint16_t>(k8055d::kProductIdBase + address),
              path ? *path : pathOf(address)});
    }

    void plug(const k8055d::HidDeviceInfo& info) {
        std::lock_guard lock(mutex_);
        std::erase_if(present_, [&](const auto& d) { return d.path == info.path; });
        present_.push_back(info);
        ++generation_[info.path];
    }

    // Handles already open to the device fail from now on, as on a real unplug.
    void unplug(const std::string& path) {
        std::lock_guard lock(mutex_);
        std::erase_if(present_, [&](const auto& d) { return d.path == path; });
        ++generation_[path];
    }

    void refuseOpen(const std::string& path) {
        std::lock_guard lock(mutex_);
        refused_.insert(path);
    }
    // Its opens fail for lack of permission, told to the refusal handler at every try.
    void denyPermission(const std::string& path) {
        std::lock_guard lock(mutex_);
        refused_.insert(path);
        denied_.insert(path);
    }
    void allowOpen(const std::string& path) {
        std::lock_guard lock(mutex_);
        refused_.erase(path);
        denied_.erase(path);
    }

    // Every write to the path returns this (-1 or a short count) until cleared.
    void failWrites(const std::string& path, int result) {
        std::lock_guard lock(mutex_);
        writeResult_[path] = result;
    }
    void clearWriteFailure(const std::string& path) {
        std::lock_guard lock(mutex_);
        writeResult_.erase(path);
    }

    // Every write takes this long before it returns (the transfer of a real board takes a few
    // milliseconds); the report counts as arrived when the time is over.
    void setWriteTime(std::chrono::milliseconds time) {
        std::lock_guard lock(mutex_);
        writeTime_ = time;
    }

    // The same for one device only (a board that hangs: a long time).
    void setWriteTime(const std::string& path, std::chrono::milliseconds time) {
        std::lock_guard lock(mutex_);
        writeTimeOf_[path] = time;
    }

    // Opened devices write on a writer thread of their own, as the hidapi transport's do.
    void setWriterThreads(bool on) {
        std::lock_guard lock(mutex_);
        writerThreads_ = on;
    }

    // Set before the first open.
    void setWriteObserver(WriteObserver observer) {
        std::lock_guard lock(mutex_);
        observer_ = std::move(observer);
    }

    std::vector<k8055d::HidDeviceInfo> enumerate(std::uint16_t vendorId) override {
        std::lock_guard lock(mutex_);
        record({Event::Kind::Enumerate, {}, {}});
        enumeratedVendors.push_back(vendorId);
        std::vector<k8055d::HidDeviceInfo> out;
        for (const auto& d : present_) {
            // As hidapi: vendor 0 lists everything.
            if (vendorId == 0 || d.vendorId == vendorId) {
                out.push_back(d);
            }
        }
        return out;
    }

    std::unique_ptr<k8055d::HidDevice> open(const std::string& path) override {
        std::lock_guard lock(mutex_);
        const bool present = std::any_of(present_.begin(), present_.end(),
                                         [&](const auto& d) { return d.path == path; });
        if (!present || refused_.contains(path)) {
            record({Event::Kind::OpenRefused, path, {}});
            if (present && denied_.contains(path) && refusedHandler_) {
                refusedHandler_(path);
            }
            return nullptr;
        }
        record({Event::Kind::Open, path, {}});
        ++openCount_;
        auto device = std::make_unique<Device>(*this, path, generation_[path]);
        if (writerThreads_) {
            return std::make_unique<k8055d::BackgroundHidDevice>(std::move(device));
        }
        return device;
    }

    void setRefusedHandler(RefusedHandler handler) override {
        std::lock_guard lock(mutex_);
        refusedHandler_ = std::move(handler);
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    void clearEvents() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    int openHandles() const {
        std::lock_guard lock(mutex_);
        return openCount_;
    }

    std::vector<Event> eventsOf(Event::Kind kind) const {
        std::lock_guard lock(mutex_);
        std::vector<Event> out;
        for (const auto& e : events_) {
            if (e.kind == kind) {
                out.push_back(e);
            }
        }
        return out;
    }

    // The bytes of every write that reached a device whole, in order, with its path.
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> writes() const {
        std::lock_guard lock(mutex_);
        std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
        for (const auto& e : events_) {
            if (e.kind == Event::Kind::Write) {
                out.emplace_back(e.path, e.bytes);
            }
        }
        return out;
    }

    std::vector<std::uint16_t> enumeratedVendors;

  private:
    class Device final : public k8055d::HidDevice {
      public:
        Device(FakeHidTransport& owner, std::string path, int generation)
            : owner_(owner), path_(std::move(path)), generation_(generation) {}
        ~Device() override {
            std::lock_guard lock(owner_.mutex_);
            owner_.record({Event::Kind::Close, path_, {}});
            --owner_.openCount_;
        }
        int write(const std::uint8_t* data, std::size_t length) override {
            std::vector<std::uint8_t> bytes(data, data + length);
            std::chrono::milliseconds time{};
            WriteObserver observer;
            {
                std::lock_guard lock(owner_.mutex_);
                const auto it = owner_.writeTimeOf_.find(path_);
                time = it != owner_.writeTimeOf_.end() ? it->second : owner_.writeTime_;
                observer = owner_.observer_;
            }
            if (observer.started) {
                observer.started(path_);
            }
            if (time.count() > 0) {
                std::this_thread::sleep_for(time);
            }
            Event event;
            int result = static_cast<int>(length);
            {
                std::lock_guard lock(owner_.mutex_);
                // A device unplugged (or unplugged and plugged again) since the open is gone
                // for this handle.
                if (owner_.generation_[path_] != generation_) {
                    result = -1;
                } else if (auto it = owner_.writeResult_.find(path_);
                           it != owner_.writeResult_.end()) {
                    result = it->second;
                }
                const bool ok = result == static_cast<int>(length);
                event = {ok ? Event::Kind::Write : Event::Kind::WriteFailed, path_, bytes};
                owner_.record(event);
            }
            if (observer.ended) {
                observer.ended(event);
            }
            return result;
        }

      private:
        FakeHidTransport& owner_;
        std::string path_;
        int generation_;
    };

    // Called with mutex_ held.
    void record(Event e) { events_.push_back(std::move(e)); }

    mutable std::mutex mutex_;
    std::vector<k8055d::HidDeviceInfo> present_;
    std::map<std::string, int> generation_;
    std::set<std::string> refused_;
    std::set<std::string> denied_;  // refused for lack of permission
    RefusedHandler refusedHandler_;
    std::map<std::string, int> writeResult_;
    std::vector<Event> events_;
    int openCount_ = 0;
    std::chrono::milliseconds writeTime_{0};
    std::map<std::string, std::chrono::milliseconds> writeTimeOf_;
    bool writerThreads_ = false;
    WriteObserver observer_;
};

// A clock the test moves by hand, for the driver's retry pacing.
struct FakeClock {
    std::chrono::steady_clock::time_point now{};
    void advance(std::chrono::milliseconds d) { now += d; }
    k8055d::K8055Driver::Clock function() {
        return [this] { return now; };
    }
};

}  // namespace kftest
