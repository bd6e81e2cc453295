#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// Maps COM port numbers to system serial devices. COM n is entry n - 1 of the list: the
// devices named in KLEURFLITS_SERIAL_PORTS (colon-separated, COM1 first) when it is set,
// otherwise the system's serial ports in natural order of their device path.
class ComPorts {
  public:
    explicit ComPorts(std::vector<std::string> devices);
    // KLEURFLITS_SERIAL_PORTS's list when it is set, otherwise the machine's own ports.
    static ComPorts fromEnvironment();
    // The list a KLEURFLITS_SERIAL_PORTS value names; empty entries are skipped.
    static std::vector<std::string> parseList(const std::string& value);

    // The device path of COM n, empty when n names no device.
    std::string devicePath(int n) const;
    // Whether COM n names an existing device; the device is not opened.
    bool exists(int n) const;
    int count() const { return static_cast<int>(devices_.size()); }
    const std::vector<std::string>& devices() const { return devices_; }
    // Whether the list is the machine's own ports rather than named ones.
    bool system() const { return system_; }
    // The COM number of a device path; a device that appeared after start-up gets the next
    // free number, so the numbers of the others stay as they were. 0 when all 255 are taken.
    std::int16_t include(const std::string& path);

    // Natural order of device paths: digit runs compare by their value, so /dev/ttyS2 comes
    // before /dev/ttyS10.
    static bool naturalLess(std::string_view a, std::string_view b);

  private:
    std::vector<std::string> devices_;
    bool system_ = false;
};

}  // namespace kf
