#pragma once

// K8055 boards on umockdev's test bed, as the kernel shows them: a USB device with its HID
// interface and a hidraw node. The real hidapi library enumerates and opens them; this side
// answers the report-descriptor requests that hidapi's open makes and takes every report
// written, each in the time a USB transfer takes. A board pulled out fails its writes with ENODEV,
// as a hidraw node does once its device is gone, before udev says it is removed.

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/MockDevices.h"

namespace kftest {

class MockK8055 {
  public:
    explicit MockK8055(MockDevices& devices)
        : devices_(devices), handler_(umockdev_ioctl_base_new()) {
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockK8055::onIoctl), this);
        g_signal_connect(handler_, "handle-write", G_CALLBACK(&MockK8055::onWrite), this);
    }
    // umockdev answers on its own thread until the handler goes; the program using the boards
    // must have ended before this (an open node losing its handler aborts its holder).
    ~MockK8055() {
        for (const auto& [node, board] : boards_) {
            umockdev_testbed_detach_ioctl(devices_.bed(), node.c_str(), nullptr);
        }
        g_object_unref(handler_);
    }
    MockK8055(const MockK8055&) = delete;
    MockK8055& operator=(const MockK8055&) = delete;

    // Card `address` (its jumpers) plugged in as /dev/<node>; `instance` tells this plugging
    // from earlier ones, as the kernel numbers HID devices. Returns the device node.
    std::string plug(int address, const std::string& node, int instance) {
        const std::string devnode = "/dev/" + node;
        {
            std::lock_guard lock(mutex_);
            boards_[devnode] = Board{address, false, {}, {}};
        }
        // The handler is there before udev tells anyone, so the first open finds it.
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(devices_.bed(), devnode.c_str(), handler_, &error)) {
            const std::string why = error != nullptr ? error->message : "unknown";
            g_clear_error(&error);
            throw std::runtime_error("umockdev took no handler for " + devnode + ": " + why);
        }
        const std::string product = "550" + std::to_string(address);
        const std::string usb =
            "/devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(5 + address);
        const std::string interface = usb + "/" + usb.substr(usb.rfind('/') + 1) + ":1.0";
        char hidName[32];
        std::snprintf(hidName, sizeof hidName, "0003:10CF:%s.%04X", product.c_str(), instance);
        const std::string hid = interface + "/" + hidName;
        const std::string raw = hid + "/hidraw/" + node;
        const std::string minor = node.substr(6);
        devices_.add(
            "P: " + raw + "\nN: " + node + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + devnode +
            "\nE: MAJOR=243\nE: MINOR=" + minor + "\nA: dev=243:" + minor +
            // hidapi reads the ids through the node's link to its HID device.
            "\nL: device=../../../" + hidName + "\n\nP: " + hid +
            "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=0003:000010CF:0000" + product +
            "\nE: HID_NAME=Velleman  USB K8055\nE: HID_UNIQ=\nH: "
            "report_descriptor=" +
            kReportDescriptor + "\n\nP: " + interface +
            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\nP: " + usb +
            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=10cf\nA: "
            "idProduct=" +
            product +
            "\nA: manufacturer=Velleman \nA: product=USB K8055\nA: "
            "bcdDevice=0000\nA: serial=\n");
        std::lock_guard lock(mutex_);
        boards_[devnode].sysPaths = {"/sys" + raw, "/sys" + hid, "/sys" + interface, "/sys" + usb};
        return devnode;
    }

    // Pulled out mid-show: the next writes fail, then udev removes the node and the devices
    // above it, down to the USB device.
    void pull(const std::string& devnode) {
        std::vector<std::string> sysPaths;
        {
            std::lock_guard lock(mutex_);
            Board& board = boards_.at(devnode);
            board.pulled = true;
            sysPaths = board.sysPaths;
        }
        for (const std::string& sys : sysPaths) {
            devices_.remove(sys);
        }
    }

    // The outputs byte of every report the board on `node` took, in order.
    std::vector<int> reports(const std::string& node) const {
        std::lock_guard lock(mutex_);
        const auto board = boards_.find("/dev/" + node);
        return board == boards_.end() ? std::vector<int>{} : board->second.outputs;
    }

    template <class Predicate>
    bool waitForReports(const std::string& node, Predicate done, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            const auto board = boards_.find("/dev/" + node);
            return board != boards_.end() && done(board->second.outputs);
        });
    }

  private:
    struct Board {
        int address;
        bool pulled;
        std::vector<int> outputs;
        std::vector<std::string> sysPaths;  // the node's device first, its USB device last
    };

    static constexpr std::chrono::milliseconds kTransfer{8};
    // A vendor page with eight bytes in and out, as the card reports.
    static constexpr const char* kReportDescriptor =
        "0600FF0901A101150026FF00750895080901810209019102C0";

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* me = static_cast<MockK8055*>(self);
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        GError* error = nullptr;
        if (request == HIDIOCGRDESCSIZE) {
            UMockdevIoctlData* size = umockdev_ioctl_data_resolve(arg, 0, sizeof(int), &error);
            if (size == nullptr) {
                g_clear_error(&error);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            const int length = static_cast<int>(me->descriptor().size());
            std::memcpy(size->data, &length, sizeof length);
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        if (request == HIDIOCGRDESC) {
            UMockdevIoctlData* desc =
                umockdev_ioctl_data_resolve(arg, 0, sizeof(hidraw_report_descriptor), &error);
            if (desc == nullptr) {
                g_clear_error(&error);
                umockdev_ioctl_client_complete(client, -1, EFAULT);
                return TRUE;
            }
            auto* out = reinterpret_cast<hidraw_report_descriptor*>(desc->data);
            const std::vector<unsigned char> bytes = me->descriptor();
            out->size = static_cast<__u32>(bytes.size());
            std::memcpy(out->value, bytes.data(), bytes.size());
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }

    static gboolean onWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        auto* me = static_cast<MockK8055*>(self);
        UMockdevIoctlData* data = umockdev_ioctl_client_get_arg(client);
        const std::string devnode = umockdev_ioctl_client_get_devnode(client);
        std::unique_lock lock(me->mutex_);
        auto board = me->boards_.find(devnode);
        if (board == me->boards_.end() || board->second.pulled) {
            lock.unlock();
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        // A write waits for its USB interrupt transfer, which takes milliseconds.
        lock.unlock();
        std::this_thread::sleep_for(kTransfer);
        lock.lock();
        // A report: its ID (0), the command, then the outputs byte.
        if (data->data_len >= 3) {
            board->second.outputs.push_back(data->data[2]);
        }
        lock.unlock();
        me->changed_.notify_all();
        umockdev_ioctl_client_complete(client, data->data_len, 0);
        return TRUE;
    }

    std::vector<unsigned char> descriptor() const {
        std::vector<unsigned char> bytes;
        const std::string hex = kReportDescriptor;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
            bytes.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
        return bytes;
    }

    MockDevices& devices_;
    UMockdevIoctlBase* handler_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Board> boards_;  // by device node
};

}  // namespace kftest
