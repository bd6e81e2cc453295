#include "devices/BackgroundHidDevice.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace k8055d {

// Shared with the thread, which may outlive the wrapper when the board hangs.
struct BackgroundHidDevice::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::unique_ptr<HidDevice> device;
    std::optional<std::vector<std::uint8_t>> pending;
    bool writing = false;
    bool failed = false;
    bool stop = false;
    std::thread thread;

    void run() {
        std::unique_lock lock(mutex);
        while (true) {
            changed.wait(lock, [this] { return stop || pending.has_value(); });
            if (!pending) {
                break;  // stopped with nothing left to send
            }
            const std::vector<std::uint8_t> report = std::move(*pending);
            pending.reset();
            writing = true;
            lock.unlock();
            int written = -1;
            try {
                written = device->write(report.data(), report.size());
            } catch (...) {
                written = -1;
            }
            lock.lock();
            writing = false;
            if (written != static_cast<int>(report.size())) {
                failed = true;
                pending.reset();
            }
            changed.notify_all();
        }
        device.reset();  // closed here, where no write can still be running
    }
};

BackgroundHidDevice::BackgroundHidDevice(std::unique_ptr<HidDevice> device)
    : shared_(std::make_shared<Shared>()) {
    shared_->device = std::move(device);
    // The thread holds its own reference, so it may finish after this object is gone.
    shared_->thread = std::thread([shared = shared_] { shared->run(); });
}

BackgroundHidDevice::~BackgroundHidDevice() {
    const bool done = drain(std::chrono::steady_clock::now() + kCloseWait);
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stop = true;
        shared_->changed.notify_all();
    }
    if (done) {
        shared_->thread.join();
    } else {
        shared_->thread.detach();
    }
}

bool BackgroundHidDevice::drain(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_until(
        lock, deadline, [this] { return !shared_->writing && !shared_->pending.has_value(); });
}

int BackgroundHidDevice::write(const std::uint8_t* data, std::size_t length) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->failed) {
        return -1;
    }
    shared_->pending.emplace(data, data + length);
    shared_->changed.notify_all();
    return static_cast<int>(length);
}

}  // namespace k8055d
