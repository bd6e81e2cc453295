#include "devices/PortWatcher.h"

#include <dirent.h>
#include <libudev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace kf {

struct PortWatcher::Udev {
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    ~Udev() {
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        if (context != nullptr) {
            udev_unref(context);
        }
    }
};

PortWatcher::PortWatcher(std::vector<std::string> named, bool system, QObject* parent)
    : QObject(parent), named_(std::move(named)), system_(system) {
    tick_.setInterval(kLookIntervalMs);
    connect(&tick_, &QTimer::timeout, this, &PortWatcher::lookNow);
}

PortWatcher::~PortWatcher() {
    stop();
}

void PortWatcher::start() {
    seen_ = lookAround();
    if (system_ && startUdev()) {
        return;
    }
    tick_.start();
}

void PortWatcher::stop() {
    tick_.stop();
    delete udevNotifier_;
    udevNotifier_ = nullptr;
    udev_.reset();
}

void PortWatcher::forget(const std::string& path) {
    seen_.erase(path);
}

void PortWatcher::lookNow() {
    compare(lookAround());
}

std::map<std::string, PortWatcher::Seen> PortWatcher::lookAround() const {
    std::map<std::string, Seen> now;
    const auto look = [&now](const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            now[path] = Seen{static_cast<unsigned long long>(st.st_rdev),
                             static_cast<unsigned long long>(st.st_ino)};
        }
    };
    if (!system_) {
        for (const std::string& path : named_) {
            look(path);
        }
        return now;
    }
    // The device nodes themselves: asking the serial-port list instead walks every terminal
    // the kernel has and costs about a hundred times more, once a second.
    if (DIR* dev = ::opendir("/dev")) {
        while (const dirent* entry = ::readdir(dev)) {
            const std::string path = std::string("/dev/") + entry->d_name;
            if (isPluggableSerialPort(path)) {
                look(path);
            }
        }
        ::closedir(dev);
    }
    return now;
}

void PortWatcher::compare(const std::map<std::string, Seen>& now) {
    std::vector<std::string> gone, come;
    for (const auto& [path, seen] : seen_) {
        const auto it = now.find(path);
        if (it == now.end() || it->second.device != seen.device || it->second.inode != seen.inode) {
            gone.push_back(path);
        }
    }
    for (const auto& [path, seen] : now) {
        const auto it = seen_.find(path);
        if (it == seen_.end() || it->second.device != seen.device ||
            it->second.inode != seen.inode) {
            come.push_back(path);
        }
    }
    seen_ = now;
    for (const std::string& path : gone) {
        emit vanished(path);
    }
    for (const std::string& path : come) {
        emit appeared(path);
    }
}

bool PortWatcher::startUdev() {
    // Without a running udev daemon (a container) the monitor starts but hears nothing. A
    // mocked device view (umockdev: tests, or a recorded machine replayed) sends its events
    // without one.
    if (::access("/run/udev/control", F_OK) != 0 && std::getenv("UMOCKDEV_DIR") == nullptr) {
        return false;
    }
    auto u = std::make_unique<Udev>();
    u->context = udev_new();
    if (u->context == nullptr) {
        return false;
    }
    u->monitor = udev_monitor_new_from_netlink(u->context, "udev");
    if (u->monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(u->monitor, "tty", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(u->monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(u->monitor) < 0) {
        return false;
    }
    const int fd = udev_monitor_get_fd(u->monitor);
    if (fd < 0) {
        return false;
    }
    udev_ = std::move(u);
    udevNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(udevNotifier_, &QSocketNotifier::activated, this, &PortWatcher::onUdevEvent);
    return true;
}

void PortWatcher::onUdevEvent() {
    if (!udev_) {
        return;
    }
    udev_device* dev = udev_monitor_receive_device(udev_->monitor);
    if (dev == nullptr) {
        return;
    }
    const char* node = udev_device_get_devnode(dev);
    const char* action = udev_device_get_action(dev);
    const char* subsystem = udev_device_get_subsystem(dev);
    const std::string path = node != nullptr ? node : "";
    const std::string what = action != nullptr ? action : "";
    const bool hid = subsystem != nullptr && std::string_view(subsystem) == "hidraw";
    udev_device_unref(dev);
    if (hid) {
        if (what == "add" || what == "remove") {
            emit hidChanged();
        }
        return;
    }
    if (path.empty() || !isPluggableSerialPort(path)) {
        return;
    }
    // The event names the device; the look tells what is there now, so an add for a node
    // that is already gone again reports nothing.
    if (what == "add" || what == "remove" || what == "change") {
        lookNow();
    }
}

std::string serialIdentity(const std::string& path, const std::string& byIdDir) {
    // The same file reached through both names, told by stat(): resolving the names with
    // realpath() instead breaks under a mocked device view (umockdev), which the tests use.
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) {
        return path;
    }
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(byIdDir, ec)) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0 && st.st_dev == target.st_dev &&
            st.st_ino == target.st_ino) {
            return entry.path().string();
        }
    }
    return path;
}

bool isPluggableSerialPort(const std::string& path) {
    for (const char* prefix : {"/dev/ttyUSB", "/dev/ttyACM", "/dev/rfcomm"}) {
        if (path.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace kf
