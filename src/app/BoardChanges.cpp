// Boards that come and go while the show runs: the window's part. The board watch decides what
// joined and on which side; here its port is opened, it is set up and shown, and its switch
// follows as start-up would have set it.
#include <QCheckBox>
#include <QTimer>
#include <cstdio>

#include "app/Controls.h"
#include "app/KleurFlitsFrm.h"
#include "devices/Tm1638.h"
#include "devices/Velleman.h"

namespace kf {

namespace {

const char* sideName(int side) {
    return side == Links ? "left" : "right";
}

}  // namespace

void KleurFlitsFrm::startWatchingBoards() {
    BoardRegistry& registry = boards_.registry();
    for (int side : {Links, Rechts}) {
        if (state_.ICP12Port(side) != 0) {
            boards_.seated(BoardKind::Icp12, side, deps_.ports.devicePath(state_.ICP12Port(side)));
        }
        if (state_.ArduinoPort(side) != 0) {
            boards_.seated(BoardKind::Arduino, side,
                           deps_.ports.devicePath(state_.ArduinoPort(side)));
        }
        if (state_.K8055Card(side) != 0) {
            registry.seat(BoardKind::K8055, side,
                          std::to_string(Velleman::cardAddress(state_.K8055Card(side))));
        }
    }
    registry.startedWith(BoardKind::Icp12, value(Check_iCP12) == 1);
    registry.startedWith(BoardKind::Arduino, value(Check_Arduino) == 1);
    registry.startedWith(BoardKind::K8055, value(Check_K8055) == 1);
    boards_.onJoined = [this](const BoardWatch::Joined& j) { boardJoined(j); };
    boards_.onUnused = [](BoardKind kind, const std::string& where) {
        std::fprintf(stderr,
                     "kleurflits-stereo: the %s board on %s is not used: both sides have one\n",
                     kindName(kind), where.c_str());
    };
    boards_.start([this] { return deps_.k8055.PresentBoards(); });
}

// A box left unticked only because start-up found no board of its kind ticks itself for the
// first one; one the user unticked stays so, and its boards get no frames until it is ticked.
bool KleurFlitsFrm::switchForArrival(BoardKind kind, QCheckBox* box) {
    if (boards_.registry().tickOnArrival(kind)) {
        setDeviceBox(box, true);
    }
    return value(box) == 1;
}

void KleurFlitsFrm::showJoined(DeviceLabel label, const std::string& caption,
                               const std::string& tip) {
    setBackColor(label, state_.ColorOn);
    setCaption(label, caption);
    setToolTip(label, tip);
}

void KleurFlitsFrm::boardJoined(const BoardWatch::Joined& j) {
    const int side = j.side;
    const bool links = side == Links;
    // A board that cannot be reached after all is lost again, and looked at once more when
    // its port reappears.
    if (!outputs_.join(j.kind, side, {j.commPort, j.typeCode, j.address, j.returning})) {
        boards_.lost(j.kind, j.side);
        return;
    }
    switch (j.kind) {
        case BoardKind::Icp12: {
            showJoined(links ? DeviceLabel::iCP12Links : DeviceLabel::iCP12Rechts,
                       (links ? " iCP12 Left on Com: " : "iCP12 Right on Com: ") +
                           std::to_string(j.commPort),
                       j.path);
            state_.ICP12Active = switchForArrival(BoardKind::Icp12, Check_iCP12);
            break;
        }
        case BoardKind::Arduino: {
            // As the search writes it: only a TM board's caption carries its version.
            showJoined(
                links ? DeviceLabel::ArduinoLinks : DeviceLabel::ArduinoRechts,
                j.typeCode == "TM"
                    ? Tm1638::labelCaption(side, j.commPort, j.typeCode, state_.TM1638V13(side))
                    : (links ? " Arduino Left Com: " : " Arduino Right Com: ") +
                          std::to_string(j.commPort) + " " + j.typeCode,
                j.path);
            state_.ArduinoActive(side) = switchForArrival(BoardKind::Arduino, Check_Arduino);
            if (state_.ArduinoActive(side) && j.typeCode == "TM") {
                // Once the board has started again after the reset its port's opening gave it.
                QTimer::singleShot(deps_.timing.setTekstDelay, this,
                                   [this, side] { showSideName(side); });
            }
            break;
        }
        case BoardKind::K8055: {
            showJoined(links ? DeviceLabel::VellemanLinks : DeviceLabel::VellemanRechts,
                       (links ? "Velleman Left CardNr. " : "Velleman Right CardNr. ") +
                           std::to_string(j.address),
                       std::string());
            state_.K8055Active = switchForArrival(BoardKind::K8055, Check_K8055);
            break;
        }
    }
    std::fprintf(stderr, "kleurflits-stereo: the %s board %s %s the %s\n", kindName(j.kind),
                 j.kind == BoardKind::K8055 ? ("card " + std::to_string(j.address)).c_str()
                                            : ("on " + j.path).c_str(),
                 j.returning ? "is back on" : "joined on", sideName(side));
}

// The side name of a TM board that joined, and its pause, for that side alone and without
// waiting in a nested event loop: the frames go on meanwhile for every other board.
void KleurFlitsFrm::showSideName(int side) {
    SerialPortControl& port = side == Links ? MSComm_Arduino_Links : MSComm_Arduino_Rechts;
    if (shuttingDown_ || textPause_(side) || !port.PortOpen() || state_.ArduinoType(side) != "TM" ||
        !state_.ArduinoActive(side)) {
        return;
    }
    state_.ArduinoActive(side) = false;
    textPause_(side) = true;
    port.Output(Tm1638::textMessage(Tm1638::displayText(Tm1638::kModeSideName, side)));
    QTimer::singleShot(deps_.timing.tmTextPause, this, [this, side] {
        if (textPause_(side)) {  // shutdown may have ended the pause already
            textPause_(side) = false;
            state_.ArduinoActive(side) = true;
        }
    });
}

}  // namespace kf
