// The start-up search over every port at once: each port's exchange runs on its own control
// and timers, so the search takes about as long as its slowest port instead of the sum of them
// all. The answers are taken in ascending port order, each as soon as every lower port has
// answered, so the decisions are the ones the search one port after another makes.

#include <memory>
#include <optional>
#include <vector>

#include "devices/BoardRegistry.h"
#include "devices/SerialProbe.h"
#include "devices/iCP12.h"

namespace iCP12 {

namespace {

// How often the search panel is brought up to date while the exchanges run.
constexpr std::chrono::milliseconds kLookStep{10};

struct Tried {
    std::int16_t port;
    std::unique_ptr<kf::SerialProbe> probe;
    std::optional<PortAnswer> answer;
};

PortAnswer answerOf(const kf::SerialProbe::Result& r) {
    return {r.opened, r.found == kf::SerialProbe::Found::Icp12, r.typeCode};
}

// The lowest port still being tried, as the search one port after another shows it; set
// only when it changes.
void showProgress(Search& s, const Tried& lowest, std::string& shown) {
    const bool arduino = lowest.probe->askingArduino() && s.state.ArduinoPort(kf::Links) == 0;
    std::string caption =
        std::string(arduino ? "Looking for Arduino on com" : "Looking for ICP12 on com") +
        std::to_string(lowest.port);
    if (caption != shown) {
        s.view.setCaption(kf::DeviceLabel::Zoeken, caption);
        shown = std::move(caption);
    }
}

}  // namespace

void ZoekComPoorten(Search& s) {
    kf::BoardRegistry::setPort(s.state, kf::BoardKind::Icp12, kf::Links, 0);
    kf::BoardRegistry::setPort(s.state, kf::BoardKind::Icp12, kf::Rechts, 0);
    std::vector<Tried> tried;
    for (int i = 1; i <= kLastPort; ++i) {
        const auto n = static_cast<std::int16_t>(i);
        if (ComPoortBestaat(s.ports, n)) {
            tried.push_back({n, std::make_unique<kf::SerialProbe>(s.ports, n, s.timing), {}});
        }
    }
    for (Tried& t : tried) {
        t.probe->setRefusedHandler(s.refused);
        t.probe->start([&t](const kf::SerialProbe::Result& r) { t.answer = answerOf(r); });
    }
    std::size_t taken = 0;
    std::string shown;
    while (taken < tried.size()) {
        while (taken < tried.size() && tried[taken].answer) {
            takeAnswer(s, tried[taken].port, *tried[taken].answer);
            ++taken;
        }
        if (taken < tried.size()) {
            showProgress(s, tried[taken], shown);
            s.waits.waitFor(kLookStep);
        }
    }
    s.view.setCaption(kf::DeviceLabel::Zoeken,
                      "Looking for ICP12 on com" + std::to_string(kLastPort));
}

}  // namespace iCP12
