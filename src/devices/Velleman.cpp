#include "devices/Velleman.h"

#include <string>

#include "devices/BoardRegistry.h"

namespace Velleman {

namespace {

// The driver addresses a board by 0..3; the program numbers its cards 1..4 so that 0 can mean
// "no board".
constexpr std::int32_t addressOf(std::int32_t card) {
    return cardAddress(card);
}

void showCard(kf::SharedState& state, kf::DeviceView& view, kf::DeviceLabel label,
              const std::string& prefix, std::int32_t card) {
    view.setBackColor(label, state.ColorOn);
    view.setCaption(label, prefix + std::to_string(addressOf(card)));
}

}  // namespace

void ZoekK8055(kf::SharedState& state, kf::DeviceView& view, k8055d::K8055Driver& driver) {
    view.setCaption(kf::DeviceLabel::Zoeken, "Looking for K8055");
    kf::BoardRegistry::setCard(state, kf::Links, 0);
    kf::BoardRegistry::setCard(state, kf::Rechts, 0);
    AssignCards(state, view, driver.SearchDevices());
}

void AssignCards(kf::SharedState& state, kf::DeviceView& view, std::int32_t mask) {
    const auto boards = static_cast<std::int16_t>(mask);
    if (boards > 0) {
        state.K8055Active = true;
        if ((boards & 1) != 0) {
            kf::BoardRegistry::setCard(state, kf::Links, 1);
        }
        // Lowest address to the left; each higher one found replaces the right, so the
        // highest ends up there.
        for (std::int32_t card = 2; card <= 4; ++card) {
            if ((boards & (1 << (card - 1))) == 0) {
                continue;
            }
            if (state.K8055Card(kf::Links) == 0) {
                kf::BoardRegistry::setCard(state, kf::Links, card);
            } else {
                kf::BoardRegistry::setCard(state, kf::Rechts, card);
            }
        }
    }
    if (state.K8055Card(kf::Links) != 0) {
        showCard(state, view, kf::DeviceLabel::VellemanLinks, "Velleman Left CardNr. ",
                 state.K8055Card(kf::Links));
    }
    if (state.K8055Card(kf::Rechts) != 0) {
        showCard(state, view, kf::DeviceLabel::VellemanRechts, "Velleman Right CardNr. ",
                 state.K8055Card(kf::Rechts));
    }
}

SwitchResult Toggle(kf::SharedState& state) {
    // Any assigned card counts, the same test start-up uses to tick the box.
    if (state.K8055Card(kf::Links) == 0 && state.K8055Card(kf::Rechts) == 0) {
        return SwitchResult::Untick;
    }
    state.K8055Active = !state.K8055Active;
    return state.K8055Active ? SwitchResult::TurnedOn : SwitchResult::TurnedOff;
}

}  // namespace Velleman
