// A stand-in for hidapi, preloaded into the real program (LD_PRELOAD) where no K8055 can be
// plugged in. The boards are files in $KF_FAKE_HID_DIR: "card0" .. "card3" present means a
// board with that address is plugged in. A write takes 8 ms, as a USB interrupt transfer does,
// then appends the outputs byte as a line to the board's file; once the file is gone (pulled
// out) writes fail, and a new file is the board plugged in again.
#include <hidapi/hidapi.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string dir() {
    const char* d = std::getenv("KF_FAKE_HID_DIR");
    return d != nullptr ? d : "/nonexistent";
}

struct FakeDevice {
    std::string path;
};

}  // namespace

extern "C" {

int hid_init(void) {
    return 0;
}

int hid_exit(void) {
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short) {
    hid_device_info* first = nullptr;
    hid_device_info** next = &first;
    if (vendor_id != 0 && vendor_id != 0x10CF) {
        return nullptr;
    }
    for (int address = 0; address < 4; ++address) {
        const std::string path = dir() + "/card" + std::to_string(address);
        if (::access(path.c_str(), F_OK) != 0) {
            continue;
        }
        auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
        info->path = ::strdup(path.c_str());
        info->vendor_id = 0x10CF;
        info->product_id = static_cast<unsigned short>(0x5500 + address);
        *next = info;
        next = &info->next;
    }
    return first;
}

void hid_free_enumeration(hid_device_info* devs) {
    while (devs != nullptr) {
        hid_device_info* next = devs->next;
        std::free(devs->path);
        std::free(devs);
        devs = next;
    }
}

hid_device* hid_open_path(const char* path) {
    if (path == nullptr || ::access(path, F_OK) != 0) {
        return nullptr;
    }
    return reinterpret_cast<hid_device*>(new FakeDevice{path});
}

int hid_set_nonblocking(hid_device*, int) {
    return 0;
}

int hid_write(hid_device* device, const unsigned char* data, size_t length) {
    auto* d = reinterpret_cast<FakeDevice*>(device);
    std::this_thread::sleep_for(std::chrono::milliseconds(8));
    FILE* f = ::access(d->path.c_str(), F_OK) == 0 ? std::fopen(d->path.c_str(), "a") : nullptr;
    if (f == nullptr || length < 3) {
        if (f != nullptr) {
            std::fclose(f);
        }
        return -1;
    }
    std::fprintf(f, "%u\n", static_cast<unsigned>(data[2]));
    std::fclose(f);
    return static_cast<int>(length);
}

void hid_close(hid_device* device) {
    delete reinterpret_cast<FakeDevice*>(device);
}

const wchar_t* hid_error(hid_device*) {
    return L"fake HID board";
}

}  // extern "C"
