#include "devices/K8055Output.h"

#include <cstdio>

#include "devices/BoardRegistry.h"
#include "devices/LatestFrame.h"
#include "devices/Velleman.h"

namespace kf {

void K8055Output::take(const LampFrame& frame) {
    // The result is left alone: the driver deselects a card it cannot reach, so a failing
    // side writes nothing and the other side goes on.
    const std::int32_t card = state_.K8055Card(side_);
    if (state_.K8055Active && card != 0 &&
        takesFrame(driver_.UnsentBytes(Velleman::cardAddress(card)),
                   static_cast<std::int64_t>(k8055d::kReportBytes))) {
        driver_.SetCurrentDevice(Velleman::cardAddress(card));
        driver_.WriteAllDigital(frame.patterns(side_));
    }
}

bool K8055Output::join(const Arrival& arrival) {
    // Cards are numbered from 1: 0 is none.
    BoardRegistry::setCard(state_, side_, arrival.address + 1);
    return true;
}

void K8055Output::startSwitchOff() {
    const std::int32_t card = state_.K8055Card(side_);
    if (card != 0) {
        driver_.SetCurrentDevice(Velleman::cardAddress(card));
        driver_.WriteAllDigital(0);
    }
}

bool K8055Output::finishSwitchOff() {
    const std::int32_t card = state_.K8055Card(side_);
    if (card == 0 || driver_.Drain(Velleman::cardAddress(card),
                                   std::chrono::steady_clock::now() + Velleman::kOffWait)) {
        return true;
    }
    std::fprintf(stderr,
                 "kleurflits-stereo: K8055 card %d (%s) did not take its off report within "
                 "%lld ms; it is left as it is\n",
                 static_cast<int>(Velleman::cardAddress(card)), side_ == Links ? "left" : "right",
                 static_cast<long long>(Velleman::kOffWait.count()));
    return false;
}

std::string K8055Output::name() const {
    const std::int32_t card = state_.K8055Card(side_);
    return "K8055 card " + std::to_string(card == 0 ? -1 : Velleman::cardAddress(card)) + " (" +
           (side_ == Links ? "left" : "right") + ")";
}

void K8055Output::presenceChanged(std::int32_t address, bool present) {
    const std::int32_t card = state_.K8055Card(side_);
    if (card != 0 && Velleman::cardAddress(card) == address) {
        notify(present ? State::Open : State::Lost);
    }
}

Output::State K8055Output::state() const {
    const std::int32_t card = state_.K8055Card(side_);
    if (card == 0) {
        return State::Absent;
    }
    const bool present = (driver_.PresentBoards() >> Velleman::cardAddress(card)) & 1;
    return present ? State::Open : State::Lost;
}

}  // namespace kf
