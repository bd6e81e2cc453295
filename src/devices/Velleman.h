#pragma once

#include <chrono>
#include <vector>

#include "core/SharedState.h"
#include "devices/DeviceView.h"
#include "devices/k8055d.h"

// Finding the K8055 boards, their part of every frame, their switch and their switch-off.
namespace Velleman {

// The start-up search: assigns the lowest address to the left side, the highest to the right.
void ZoekK8055(kf::SharedState& state, kf::DeviceView& view, k8055d::K8055Driver& driver);

// The search's second half: assigns the boards of a SearchDevices result (read as 16-bit signed)
// and shows them. Apart so that masks no driver gives can be tried.
void AssignCards(kf::SharedState& state, kf::DeviceView& view, std::int32_t mask);

// How long the switch-off waits for each board's off report to go out.
inline constexpr std::chrono::milliseconds kOffWait{500};

// The number a card goes by in the labels and messages: its address.
constexpr std::int32_t cardAddress(std::int32_t card) {
    return card - 1;
}

// Check_K8055 clicked (outside start-up): toggles the output while any card is assigned.
using kf::SwitchResult;
SwitchResult Toggle(kf::SharedState& state);

}  // namespace Velleman
