#pragma once

#include <cstdint>
#include <string>

namespace kf {

// The labels the device searches write to. The window implements it; tests record it.
enum class DeviceLabel {
    Zoeken,
    iCP12Links,
    iCP12Rechts,
    ArduinoLinks,
    ArduinoRechts,
    VellemanLinks,
    VellemanRechts,
};

// What a click on a board kind's switch did: the output went on or off, or there is no board
// to switch and the box must be unticked again.
enum class SwitchResult { TurnedOn, TurnedOff, Untick };

class DeviceView {
  public:
    virtual ~DeviceView() = default;
    virtual void setCaption(DeviceLabel label, const std::string& caption) = 0;
    // colour as &HBBGGRR
    virtual void setBackColor(DeviceLabel label, std::uint32_t colour) = 0;
    // The device path behind a COM number, shown as the label's tool tip.
    virtual void setToolTip(DeviceLabel label, const std::string& tip) = 0;
};

}  // namespace kf
