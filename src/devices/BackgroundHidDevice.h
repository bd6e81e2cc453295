#pragma once

#include <chrono>
#include <memory>

#include "devices/k8055d.h"

namespace k8055d {

// A HID device whose writes happen on a thread of its own. A USB write waits for the transfer,
// and a board that hangs holds it for seconds; the frame only hands over its report and goes
// on. Only the newest report is kept: a report not yet sent when the next arrives is replaced,
// since every frame sends the whole state. A write that failed on the thread makes the next
// write return -1, so the driver drops the board as it does for a failure seen at once.
class BackgroundHidDevice final : public HidDevice {
  public:
    // How long destruction waits for the last report to go out. A board still hung after that
    // is left to its thread, which closes it when its write ends.
    static constexpr std::chrono::milliseconds kCloseWait{500};

    explicit BackgroundHidDevice(std::unique_ptr<HidDevice> device);
    ~BackgroundHidDevice() override;
    BackgroundHidDevice(const BackgroundHidDevice&) = delete;
    BackgroundHidDevice& operator=(const BackgroundHidDevice&) = delete;

    int write(const std::uint8_t* data, std::size_t length) override;
    // Waits for the report under way and the one waiting behind it. The process may end right
    // after (shutdown ends without destructors), so this is the off report's only guarantee.
    bool drain(std::chrono::steady_clock::time_point deadline) override;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace k8055d
