#pragma once

// Devices a test plugs in and pulls out through umockdev: a real libudev view (enumeration,
// the monitor's events, /dev nodes and their by-id links) of devices the test adds and
// removes. The test and the program it starts must run under umockdev-wrapper, which
// preloads the library that redirects /sys and /dev to the test bed.

// GLib names a member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <glib.h>
#include <umockdev.h>
#pragma pop_macro("signals")

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>

namespace kftest {

// Whether this process runs with umockdev's preload, without which a test bed changes
// nothing the program sees.
inline bool underUmockdev() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr &&
           std::string(preload).find("libumockdev-preload") != std::string::npos;
}

class MockDevices {
  public:
    // Sets UMOCKDEV_DIR for this process and the programs it starts.
    MockDevices() : bed_(umockdev_testbed_new()) {}
    ~MockDevices() { g_object_unref(bed_); }
    MockDevices(const MockDevices&) = delete;
    MockDevices& operator=(const MockDevices&) = delete;

    UMockdevTestbed* bed() const { return bed_; }

    // A USB serial adapter as the kernel and udev show it: /dev/<name> backed by a
    // pseudo-terminal, /dev/serial/by-id/<byId> leading to it, and a parent bound to its
    // driver (serial port lists leave out ttys without one). Adding it sends udev's "add".
    // Returns its sysfs path.
    std::string addSerialAdapter(const std::string& name, const std::string& byId, int minor) {
        const bool acm = name.rfind("ttyACM", 0) == 0;
        const std::string usb = "1-" + std::to_string(minor + 1);
        const std::string port = "/devices/pci0000:00/0000:00:14.0/usb1/" + usb + "/" + usb +
                                 ":1.0" + (acm ? "" : "/" + name);
        const std::string sys = port + "/tty/" + name;
        const std::string driver = acm ? "usb/drivers/cdc_acm" : "usb-serial/drivers/ftdi_sio";
        const std::string up = acm ? "../../../../../../bus/" : "../../../../../../../bus/";
        add("P: " + sys + "\nN: " + name + "\nS: serial/by-id/" + byId +
            "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name + "\nE: MAJOR=" + (acm ? "166" : "188") +
            "\nE: MINOR=" + std::to_string(minor) + "\nE: DEVLINKS=/dev/serial/by-id/" + byId +
            "\nA: dev=" + (acm ? "166:" : "188:") + std::to_string(minor) + "\n\nP: " + port +
            "\nE: SUBSYSTEM=" + (acm ? "usb" : "usb-serial") + "\nL: driver=" + up + driver + "\n");
        links_["/sys" + sys] = "serial/by-id/" + byId;
        return "/sys" + sys;
    }

    // The far end of a device node added without contents: the board's side of the line.
    // umockdev owns it; it goes when the device is removed.
    int master(const std::string& devnode) const {
        const int fd = umockdev_testbed_get_dev_fd(bed_, devnode.c_str());
        if (fd < 0) {
            throw std::runtime_error("no mock line for " + devnode);
        }
        return fd;
    }

    // The device unplugged: udev's "remove", then its sysfs entry, its node and, as udev
    // removes it, its link go.
    // umockdev also keeps its note of which pseudo-terminal stood for the node; once the line
    // is hung up the kernel hands that terminal out again, so the note goes too.
    void remove(const std::string& sysPath) {
        gchar* rootDir = umockdev_testbed_get_root_dir(bed_);
        const std::string root(rootDir);
        g_free(rootDir);
        const std::string name = sysPath.substr(sysPath.rfind('/') + 1);
        char pts[256] = {};
        const ssize_t ptsLength = ::readlink((root + "/dev/" + name).c_str(), pts, sizeof pts - 1);

        umockdev_testbed_uevent(bed_, sysPath.c_str(), "remove");
        umockdev_testbed_remove_device(bed_, sysPath.c_str());
        const auto link = links_.find(sysPath);
        if (link != links_.end()) {
            ::unlink((root + "/dev/" + link->second).c_str());
            links_.erase(link);
        }
        if (ptsLength > 0) {
            std::string mapped(pts, static_cast<size_t>(ptsLength));
            for (char& c : mapped) {
                c = c == '/' ? '_' : c;
            }
            ::unlink((root + "/dev/.ptymap/" + mapped).c_str());
        }
    }

    void add(const std::string& record) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(bed_, record.c_str(), &error)) {
            const std::string why = error != nullptr ? error->message : "unknown";
            g_clear_error(&error);
            throw std::runtime_error("umockdev refused a device: " + why);
        }
    }

  private:
    UMockdevTestbed* bed_;
    std::map<std::string, std::string> links_;  // sysfs path -> its link below /dev
};

}  // namespace kftest
