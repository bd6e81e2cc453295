#include "devices/ComPorts.h"

#include <sys/stat.h>

#include <QSerialPortInfo>
#include <algorithm>
#include <cstdlib>

namespace kf {

namespace {

constexpr char kPortsVariable[] = "KLEURFLITS_SERIAL_PORTS";

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

ComPorts::ComPorts(std::vector<std::string> devices) : devices_(std::move(devices)) {}

ComPorts ComPorts::fromEnvironment() {
    // A set but empty variable means "no ports": a set-up that wants none must not get the
    // machine's own ports instead.
    if (const char* value = std::getenv(kPortsVariable)) {
        return ComPorts(parseList(value));
    }
    std::vector<std::string> devices;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        devices.push_back(info.systemLocation().toStdString());
    }
    std::sort(devices.begin(), devices.end(), naturalLess);
    devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
    ComPorts ports(std::move(devices));
    ports.system_ = true;
    return ports;
}

std::vector<std::string> ComPorts::parseList(const std::string& value) {
    std::vector<std::string> devices;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(':', start);
        if (end == std::string::npos) {
            end = value.size();
        }
        if (end > start) {
            devices.push_back(value.substr(start, end - start));
        }
        start = end + 1;
    }
    return devices;
}

bool ComPorts::naturalLess(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ai = i;
            std::size_t bj = j;
            while (i < a.size() && isDigit(a[i])) {
                ++i;
            }
            while (j < b.size() && isDigit(b[j])) {
                ++j;
            }
            std::string_view runA = a.substr(ai, i - ai);
            std::string_view runB = b.substr(bj, j - bj);
            // Compare by value: leading zeros do not count, then the longer number is larger.
            std::string_view valueA =
                runA.substr(std::min(runA.find_first_not_of('0'), runA.size()));
            std::string_view valueB =
                runB.substr(std::min(runB.find_first_not_of('0'), runB.size()));
            if (valueA.size() != valueB.size()) {
                return valueA.size() < valueB.size();
            }
            if (int c = valueA.compare(valueB); c != 0) {
                return c < 0;
            }
            // Same value: "1" before "01", so distinct names never compare equal.
            if (runA.size() != runB.size()) {
                return runA.size() < runB.size();
            }
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::string ComPorts::devicePath(int n) const {
    if (n < 1 || n > count()) {
        return {};
    }
    return devices_[static_cast<std::size_t>(n - 1)];
}

bool ComPorts::exists(int n) const {
    const std::string path = devicePath(n);
    if (path.empty()) {
        return false;
    }
    // stat follows a symlink to its target and never opens the device: opening a serial port
    // can raise its modem lines or block on carrier, and the port may belong to someone else.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    return S_ISCHR(info.st_mode);
}

std::int16_t ComPorts::include(const std::string& path) {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i] == path) {
            return static_cast<std::int16_t>(i + 1);
        }
    }
    if (devices_.size() >= 255) {
        return 0;
    }
    devices_.push_back(path);
    return static_cast<std::int16_t>(devices_.size());
}

}  // namespace kf
