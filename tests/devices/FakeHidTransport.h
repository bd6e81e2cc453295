#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "devices/k8055d.h"

namespace kftest {

// A HID transport without hardware. Devices can be plugged and unplugged at any time, opens
// refused and writes failed or cut short; every call is recorded with its exact bytes.
class FakeHidTransport final : public k8055d::HidTransport {
  public:
    struct Event {
        enum class Kind { Enumerate, Open, OpenRefused, Write, WriteFailed, Close };
        Kind kind;
        std::string path;                 // empty for Enumerate
        std::vector<std::uint8_t> bytes;  // Write and WriteFailed only
        bool operator==(const Event&) const = default;
    };

    static std::string pathOf(int address) { return "/dev/hidraw" + std::to_string(address); }

    // A board with the given address (0..3) at /dev/hidraw<address> unless a path is given.
    void plugBoard(int address, std::optional<std::string> path = std::nullopt) {
        plug({k8055d::kVendorId, static_cast<std::uint16_t>(k8055d::kProductIdBase + address),
              path ? *path : pathOf(address)});
    }

    void plug(const k8055d::HidDeviceInfo& info) {
        unplug(info.path);
        present_.push_back(info);
        ++generation_[info.path];
    }

    // Handles already open to the device fail from now on, as on a real unplug.
    void unplug(const std::string& path) {
        std::erase_if(present_, [&](const auto& d) { return d.path == path; });
        ++generation_[path];
    }

    void refuseOpen(const std::string& path) { refused_.insert(path); }
    void allowOpen(const std::string& path) { refused_.erase(path); }

    // Every write to the path returns this (-1 or a short count) until cleared.
    void failWrites(const std::string& path, int result) { writeResult_[path] = result; }
    void clearWriteFailure(const std::string& path) { writeResult_.erase(path); }

    std::vector<k8055d::HidDeviceInfo> enumerate(std::uint16_t vendorId) override {
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
        const bool present = std::any_of(present_.begin(), present_.end(),
                                         [&](const auto& d) { return d.path == path; });
        if (!present || refused_.contains(path)) {
            record({Event::Kind::OpenRefused, path, {}});
            return nullptr;
        }
        record({Event::Kind::Open, path, {}});
        ++openCount_;
        return std::make_unique<Device>(*this, path, generation_[path]);
    }

    const std::vector<Event>& events() const { return events_; }
    void clearEvents() { events_.clear(); }
    int openHandles() const { return openCount_; }

    std::vector<Event> eventsOf(Event::Kind kind) const {
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
            owner_.record({Event::Kind::Close, path_, {}});
            --owner_.openCount_;
        }
        int write(const std::uint8_t* data, std::size_t length) override {
            std::vector<std::uint8_t> bytes(data, data + length);
            // A device unplugged (or unplugged and plugged again) since the open is gone for
            // this handle.
            int result = static_cast<int>(length);
            if (owner_.generation_[path_] != generation_) {
                result = -1;
            } else if (auto it = owner_.writeResult_.find(path_); it != owner_.writeResult_.end()) {
                result = it->second;
            }
            const bool ok = result == static_cast<int>(length);
            owner_.record({ok ? Event::Kind::Write : Event::Kind::WriteFailed, path_, bytes});
            return result;
        }

      private:
        FakeHidTransport& owner_;
        std::string path_;
        int generation_;
    };

    void record(Event e) { events_.push_back(std::move(e)); }

    std::vector<k8055d::HidDeviceInfo> present_;
    std::map<std::string, int> generation_;
    std::set<std::string> refused_;
    std::map<std::string, int> writeResult_;
    std::vector<Event> events_;
    int openCount_ = 0;
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
