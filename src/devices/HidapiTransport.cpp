#include <hidapi/hidapi.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <iostream>
#include <set>

#include "devices/BackgroundHidDevice.h"
#include "devices/k8055d.h"

namespace k8055d {

namespace {

std::string narrow(const wchar_t* text) {
    if (text == nullptr) {
        return "unknown error";
    }
    std::string out;
    for (; *text != L'\0'; ++text) {
        // hidapi's messages are plain ASCII (strerror texts and paths).
        const auto code = static_cast<std::uint32_t>(*text);
        out += code < 0x80 ? static_cast<char>(code) : '?';
    }
    return out;
}

class HidapiDevice final : public HidDevice {
  public:
    explicit HidapiDevice(hid_device* device) : device_(device) {}
    ~HidapiDevice() override { hid_close(device_); }
    HidapiDevice(const HidapiDevice&) = delete;
    HidapiDevice& operator=(const HidapiDevice&) = delete;

    int write(const std::uint8_t* data, std::size_t length) override {
        return hid_write(device_, data, length);
    }

  private:
    hid_device* device_;
};

class HidapiTransport final : public HidTransport {
  public:
    HidapiTransport() : initialised_(hid_init() == 0) {
        if (!initialised_) {
            std::cerr << "K8055: the HID library could not start (" << narrow(hid_error(nullptr))
                      << "); K8055 boards are not used.\n";
        }
    }
    ~HidapiTransport() override {
        if (initialised_) {
            hid_exit();
        }
    }
    HidapiTransport(const HidapiTransport&) = delete;
    HidapiTransport& operator=(const HidapiTransport&) = delete;

    std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId) override {
        std::vector<HidDeviceInfo> devices;
        if (!initialised_) {
            return devices;
        }
        hid_device_info* list = hid_enumerate(vendorId, 0);
        for (const hid_device_info* d = list; d != nullptr; d = d->next) {
            devices.push_back({d->vendor_id, d->product_id, d->path != nullptr ? d->path : ""});
        }
        hid_free_enumeration(list);
        return devices;
    }

    std::unique_ptr<HidDevice> open(const std::string& path) override {
        if (!initialised_) {
            return nullptr;
        }
        hid_device* device = hid_open_path(path.c_str());
        if (device == nullptr) {
            reportOpenFailure(path);
            return nullptr;
        }
        // Only reads are affected on hidraw; writes wait for the USB transfer, so they run on
        // a thread of their own.
        hid_set_nonblocking(device, 1);
        return std::make_unique<BackgroundHidDevice>(std::make_unique<HidapiDevice>(device));
    }

    void setRefusedHandler(RefusedHandler handler) override { refused_ = std::move(handler); }

  private:
    // The driver retries a missing board now and then; say what is wrong once per path, not
    // at every retry.
    void reportOpenFailure(const std::string& path) {
        if (!reported_.insert(path).second) {
            return;
        }
        const std::string reason = narrow(hid_error(nullptr));
        // hidapi keeps no errno; asking the node itself tells a missing permission apart. Who
        // is told of it says what to do; without anyone, hidapi's reason is all there is.
        if (refused_ && ::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
            refused_(path);
        } else {
            std::cerr << "K8055: cannot open " << path << " (" << reason << ").\n";
        }
    }

    bool initialised_;
    std::set<std::string> reported_;
    RefusedHandler refused_;
};

}  // namespace

std::unique_ptr<HidTransport> createHidapiTransport() {
    return std::make_unique<HidapiTransport>();
}

}  // namespace k8055d
