#include "devices/Boards.h"

#include <QTimer>
#include <cstdio>
#include <iostream>

#include "devices/ArduinoOutput.h"
#include "devices/BoardRegistry.h"
#include "devices/DmxOutput.h"
#include "devices/Icp12Output.h"
#include "devices/K8055Output.h"
#include "devices/Tm1638.h"
#include "devices/Velleman.h"
#include "devices/iCP12.h"

namespace kf {

namespace {

const char* sideName(int side) {
    return side == Links ? "left" : "right";
}

DeviceLabel labelOf(BoardKind kind, int side) {
    const bool links = side == Links;
    switch (kind) {
        case BoardKind::Icp12:
            return links ? DeviceLabel::iCP12Links : DeviceLabel::iCP12Rechts;
        case BoardKind::Arduino:
            return links ? DeviceLabel::ArduinoLinks : DeviceLabel::ArduinoRechts;
        case BoardKind::K8055:
            break;
    }
    return links ? DeviceLabel::VellemanLinks : DeviceLabel::VellemanRechts;
}

}  // namespace

Boards::Boards(Needs needs, QObject* parent)
    : QObject(parent),
      needs_(needs),
      state_(needs.state),
      icp12Links_(needs.ports, 115200),
      icp12Rechts_(needs.ports, 9600),
      arduinoLinks_(needs.ports, 115200),
      arduinoRechts_(needs.ports, 115200),
      watch_(needs.ports, needs.timing),
      refusals_(std::cerr) {
    addOutputs();
    for (SerialPortControl* port : {&icp12Links_, &icp12Rechts_, &arduinoLinks_, &arduinoRechts_}) {
        port->setRefusedHandler(refusedHandler());
    }
    watch_.onRefused = refusedHandler();
    // A K8055 whose writes fail (unplugged, permission lost) shows as absent, as a serial
    // board does; the driver skips it and the frames go on for the others.
    needs_.k8055.setRefusedHandler(
        [this](std::int32_t address, const std::string& path) { refusedCard(address, path); });
    needs_.k8055.setPresenceHandler([this](std::int32_t address, bool present) {
        for (K8055Output* output : k8055_) {
            output->presenceChanged(address, present);
        }
    });
}

Boards::~Boards() {
    // The driver may outlive the boards.
    needs_.k8055.setPresenceHandler({});
    needs_.k8055.setRefusedHandler({});
}

// One line an output: the order is the end's, which switches them off in turn.
void Boards::addOutputs() {
    add(std::make_unique<Icp12Output>(state_, Links, icp12Links_));
    add(std::make_unique<Icp12Output>(state_, Rechts, icp12Rechts_));
    add(std::make_unique<ArduinoOutput>(state_, Links, arduinoLinks_));
    add(std::make_unique<ArduinoOutput>(state_, Rechts, arduinoRechts_));
    k8055_ = {add(std::make_unique<K8055Output>(state_, Links, needs_.k8055)),
              add(std::make_unique<K8055Output>(state_, Rechts, needs_.k8055))};
    if (needs_.ola != nullptr) {  // the stage gets the lamps the window shows
        add(std::make_unique<DmxOutput>(*needs_.ola));
    }
}

template <class Kind>
Kind* Boards::add(std::unique_ptr<Kind> output) {
    Kind* const added = output.get();
    output->setStateNotice(
        [this](const Output& changed, Output::State now) { stateChanged(changed, now); });
    outputs_.add(std::move(output));
    return added;
}

// A board gone while running shows as absent, its side kept for it; one back as present. The
// others go on meanwhile.
void Boards::stateChanged(const Output& output, Output::State now) {
    const std::optional<BoardKind> kind = output.kind();
    if (!kind) {
        return;  // the universe says on stderr itself when olad comes or goes
    }
    const int side = output.side();
    const bool back = now == Output::State::Open;
    const DeviceLabel label = labelOf(*kind, side);
    needs_.view.setBackColor(label, back ? state_.ColorOn : state_.ColorOff);
    needs_.view.setToolTip(label, back ? std::string() : std::string("disconnected"));
    std::fprintf(stderr, "kleurflits-stereo: %s is %s\n", output.name().c_str(),
                 back ? "back" : "gone");
    if (!back) {
        watch_.lost(*kind, side);
    } else if (*kind == BoardKind::K8055) {
        watch_.k8055Back(Velleman::cardAddress(state_.K8055Card(side)));
    }
}

void Boards::refused(const std::string& path) {
    if (!refusals_.refused(path)) {
        return;
    }
    for (BoardKind kind : {BoardKind::Icp12, BoardKind::Arduino}) {
        for (int side : {Links, Rechts}) {
            const auto port =
                kind == BoardKind::Icp12 ? state_.ICP12Port(side) : state_.ArduinoPort(side);
            if (port == 0) {
                needs_.view.setToolTip(labelOf(kind, side), refusals_.toolTip());
            }
        }
    }
}

void Boards::refusedCard(std::int32_t address, const std::string& path) {
    if (!refusals_.refused(path, OpenRefusals::Device::K8055)) {
        return;
    }
    for (int side : {Links, Rechts}) {
        const std::int32_t card = state_.K8055Card(side);
        if (card == 0 || Velleman::cardAddress(card) == address) {
            needs_.view.setToolTip(labelOf(BoardKind::K8055, side),
                                   refusals_.toolTip(OpenRefusals::Device::K8055));
        }
    }
}

SerialPortControl& Boards::line(BoardKind kind, int side) {
    if (kind == BoardKind::Arduino) {
        return side == Links ? arduinoLinks_ : arduinoRechts_;
    }
    return side == Links ? icp12Links_ : icp12Rechts_;
}

// ---- Start-up ----

void Boards::searchSerial(Waits& waits) {
    iCP12::Search search{state_,         needs_.view, needs_.ports,  icp12Links_,     arduinoLinks_,
                         arduinoRechts_, waits,       needs_.timing, refusedHandler()};
    iCP12::ZoekComPoorten(search);
}

void Boards::openFound() {
    struct Found {
        BoardKind kind;
        int side;
        std::int16_t port;
        const char* designCaption;
    };
    Found found[] = {
        {BoardKind::Icp12, Links, state_.ICP12Port(Links), "iCP12 Left"},
        {BoardKind::Icp12, Rechts, state_.ICP12Port(Rechts), "iCP12 Right"},
        {BoardKind::Arduino, Links, state_.ArduinoPort(Links), "Arduino Left"},
        {BoardKind::Arduino, Rechts, state_.ArduinoPort(Rechts), "Arduino Right"},
    };
    for (Found& f : found) {
        if (f.port == 0) {
            continue;
        }
        SerialPortControl& control = line(f.kind, f.side);
        control.setCommPort(f.port);
        if (control.setPortOpen(true)) {
            continue;
        }
        BoardRegistry::setPort(state_, f.kind, f.side, 0);
        const DeviceLabel label = labelOf(f.kind, f.side);
        needs_.view.setCaption(label, f.designCaption);
        needs_.view.setBackColor(label, state_.ColorOff);
        needs_.view.setToolTip(label, refusals_.toolTip());
        if (f.kind == BoardKind::Arduino) {
            // Without a type the side's label no longer answers clicks as a TM board's.
            state_.ArduinoActive(f.side) = false;
            BoardRegistry::setArduinoType(state_, f.side, std::string());
        }
    }
    if (state_.ICP12Port(Links) == 0 && state_.ICP12Port(Rechts) == 0) {
        state_.ICP12Active = false;
    }
}

void Boards::searchK8055() {
    Velleman::ZoekK8055(state_, needs_.view, needs_.k8055);
}

// ---- Boards that come and go ----

void Boards::startWatching(const std::array<bool, 3>& ticked, SwitchFor switchFor) {
    BoardRegistry& registry = watch_.registry();
    for (int side : {Links, Rechts}) {
        if (state_.ICP12Port(side) != 0) {
            watch_.seated(BoardKind::Icp12, side, needs_.ports.devicePath(state_.ICP12Port(side)));
        }
        if (state_.ArduinoPort(side) != 0) {
            watch_.seated(BoardKind::Arduino, side,
                          needs_.ports.devicePath(state_.ArduinoPort(side)));
        }
        if (state_.K8055Card(side) != 0) {
            registry.seat(BoardKind::K8055, side,
                          std::to_string(Velleman::cardAddress(state_.K8055Card(side))));
        }
    }
    for (std::size_t i = 0; i < kBoardKinds.size(); ++i) {
        registry.startedWith(kBoardKinds[i], ticked[i]);
    }
    switchFor_ = std::move(switchFor);
    watch_.onJoined = [this](const BoardWatch::Joined& j) { joined(j); };
    watch_.onUnused = [](BoardKind kind, const std::string& where) {
        std::fprintf(stderr,
                     "kleurflits-stereo: the %s board on %s is not used: both sides have one\n",
                     kindName(kind), where.c_str());
    };
    watch_.start([this] { return needs_.k8055.PresentBoards(); });
}

void Boards::stop() {
    stopped_ = true;
    watch_.stop();
}

void Boards::joined(const BoardWatch::Joined& j) {
    const int side = j.side;
    // A board that cannot be reached after all is lost again, and looked at once more when
    // its port reappears.
    if (!outputs_.join(j.kind, side, {j.commPort, j.typeCode, j.address, j.returning})) {
        watch_.lost(j.kind, j.side);
        return;
    }
    showJoined(j);
    const bool on = switchFor_ ? switchFor_(j.kind) : true;
    switch (j.kind) {
        case BoardKind::Icp12:
            state_.ICP12Active = on;
            break;
        case BoardKind::Arduino:
            state_.ArduinoActive(side) = on;
            if (on && j.typeCode == "TM") {
                // Once the board has started again after the reset its port's opening gave it.
                QTimer::singleShot(needs_.timing.setTekstDelay, this,
                                   [this, side] { showSideName(side); });
            }
            break;
        case BoardKind::K8055:
            state_.K8055Active = on;
            break;
    }
    std::fprintf(stderr, "kleurflits-stereo: the %s board %s %s the %s\n", kindName(j.kind),
                 j.kind == BoardKind::K8055 ? ("card " + std::to_string(j.address)).c_str()
                                            : ("on " + j.path).c_str(),
                 j.returning ? "is back on" : "joined on", sideName(side));
}

// The captions the search gives a board of the kind on that side.
void Boards::showJoined(const BoardWatch::Joined& j) {
    const bool links = j.side == Links;
    std::string caption;
    std::string tip = j.path;
    switch (j.kind) {
        case BoardKind::Icp12:
            caption = (links ? " iCP12 Left on Com: " : "iCP12 Right on Com: ") +
                      std::to_string(j.commPort);
            break;
        case BoardKind::Arduino:
            // Only a TM board's caption carries its version.
            caption =
                j.typeCode == "TM"
                    ? Tm1638::labelCaption(j.side, j.commPort, j.typeCode, state_.TM1638V13(j.side))
                    : (links ? " Arduino Left Com: " : " Arduino Right Com: ") +
                          std::to_string(j.commPort) + " " + j.typeCode;
            break;
        case BoardKind::K8055:
            caption = (links ? "Velleman Left CardNr. " : "Velleman Right CardNr. ") +
                      std::to_string(j.address);
            tip.clear();
            break;
    }
    const DeviceLabel label = labelOf(j.kind, j.side);
    needs_.view.setBackColor(label, state_.ColorOn);
    needs_.view.setCaption(label, caption);
    needs_.view.setToolTip(label, tip);
}

// ---- The frame ----

void Boards::sendPatterns() {
    outputs_.take(Output::Moment::FrameStart, LampFrame::of(state_));
}

void Boards::sendFrame() {
    outputs_.take(Output::Moment::FrameEnd, LampFrame::of(state_));
}

// ---- Switches ----

SwitchResult Boards::toggle(BoardKind kind) {
    return kind == BoardKind::K8055 ? Velleman::Toggle(state_) : iCP12::Toggle(state_);
}

std::string Boards::toggleVersion(int side) {
    if (state_.ArduinoType(side) != "TM") {
        return {};
    }
    bool& v13 = state_.TM1638V13(side);
    v13 = !v13;
    return Tm1638::labelCaption(side, state_.ArduinoPort(side), state_.ArduinoType(side), v13);
}

// ---- TM1638 texts ----

bool Boards::beginText(int side) {
    if (!line(BoardKind::Arduino, side).PortOpen() || state_.ArduinoType(side) != "TM" ||
        !state_.ArduinoActive(side)) {
        return false;
    }
    state_.ArduinoActive(side) = false;  // the frame leaves the side alone meanwhile
    textPause_(side) = true;
    return true;
}

void Boards::sendText(int side, const std::string& text) {
    line(BoardKind::Arduino, side).Output(Tm1638::textMessage(text));
}

void Boards::endText(int side) {
    if (textPause_(side)) {  // the end may have ended the pause already
        textPause_(side) = false;
        state_.ArduinoActive(side) = true;
    }
}

void Boards::endAllTexts() {
    for (int side : {Links, Rechts}) {
        endText(side);
    }
}

void Boards::showSideName(int side) {
    if (stopped_ || textPause_(side) || !beginText(side)) {
        return;
    }
    sendText(side, Tm1638::displayText(Tm1638::kModeSideName, side));
    QTimer::singleShot(needs_.timing.tmTextPause, this, [this, side] { endText(side); });
}

}  // namespace kf
