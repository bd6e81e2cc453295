#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The K8055 driver as the program calls it (SearchDevices, SetCurrentDevice, WriteAllDigital),
// over a small HID transport so that tests can put a fake in place of hidapi.
namespace k8055d {

inline constexpr std::uint16_t kVendorId = 0x10CF;
inline constexpr std::uint16_t kProductIdBase = 0x5500;  // + board address 0..3
// An output report as hidapi takes it: report ID 0, then command 5, the outputs and the two
// analog values, and four unused bytes.
inline constexpr std::size_t kReportBytes = 9;
using OutputsReport = std::array<std::uint8_t, kReportBytes>;
// The report that sets the eight digital outputs (the low 8 bits of `outputs`).
OutputsReport outputsReport(std::int32_t outputs, std::uint8_t analog1 = 0,
                            std::uint8_t analog2 = 0);

struct HidDeviceInfo {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string path;
};

class HidDevice {
  public:
    virtual ~HidDevice() = default;
    // hidapi's hid_write: data[0] is the report ID. Returns bytes written or -1.
    virtual int write(const std::uint8_t* data, std::size_t length) = 0;
    // Waits until the reports already written have reached the board, or until the deadline.
    // True when nothing is left under way. A device that writes before write returns has
    // nothing to wait for.
    virtual bool drain(std::chrono::steady_clock::time_point deadline) {
        static_cast<void>(deadline);
        return true;
    }
};

class HidTransport {
  public:
    virtual ~HidTransport() = default;
    virtual std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId) = 0;
    // nullptr when the device cannot be opened (absent, not permitted).
    virtual std::unique_ptr<HidDevice> open(const std::string& path) = 0;
    // Told, on the thread that opens, of a device the user may not open. A transport that
    // cannot tell a refusal from other failures never calls it.
    using RefusedHandler = std::function<void(const std::string& path)>;
    virtual void setRefusedHandler(RefusedHandler handler) { static_cast<void>(handler); }
};

// hidapi with its hidraw backend.
std::unique_ptr<HidTransport> createHidapiTransport();

class K8055Driver {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Told when an open board stops taking writes (present false: unplugged, permission lost)
    // and when a board lost that way takes them again (present true), once per change.
    using PresenceHandler = std::function<void(std::int32_t address, bool present)>;
    // A board that could not be found or opened is looked for again at most this often, so a
    // missing board costs the frame nothing between tries.
    static constexpr std::chrono::milliseconds kRetryInterval{1000};

    // The clock paces the retries; empty means steady_clock. The transport must outlive the
    // driver.
    explicit K8055Driver(HidTransport& transport, Clock clock = {});
    ~K8055Driver();
    // Mask of connected boards: bit a for a board with address a (0..3); 0 when none.
    std::int32_t SearchDevices();
    // The boards plugged in now, the same mask, for noticing boards that arrive while the show
    // runs: unlike SearchDevices it keeps the current board and the pauses between retries.
    std::int32_t PresentBoards();
    // Selects the board for the next write, opening it on first use. Returns the address on
    // success, -1 when the board is absent or cannot be opened.
    std::int32_t SetCurrentDevice(std::int32_t address);
    // Sets the eight digital outputs of the current board. Returns false on failure.
    bool WriteAllDigital(std::int32_t value);

    // Waits until the board's reports written so far have gone out, at most until the
    // deadline; the process may end right after. True when nothing is left under way, also
    // when the board is not open.
    bool Drain(std::int32_t address, std::chrono::steady_clock::time_point deadline);
    // The bytes of reports to the board that have not reached it yet (under way on its writer
    // thread); 0 when none, or when the board is not open.
    std::int64_t UnsentBytes(std::int32_t address);

    // Called on the thread that calls WriteAllDigital; empty: nobody is told.
    void setPresenceHandler(PresenceHandler handler);
    // Told of a board's device the user may not open (address -1: not a board's), on the
    // thread that calls the driver, after the board is marked lost; empty: nobody is told.
    using RefusedHandler = std::function<void(std::int32_t address, const std::string& path)>;
    void setRefusedHandler(RefusedHandler handler);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace k8055d
