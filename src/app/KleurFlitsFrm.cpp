#include "app/KleurFlitsFrm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTime>
#include <cstdio>

#include "app/AboutText.h"
#include "app/ClickLabel.h"
#include "app/Controls.h"
#include "app/LampLabel.h"
#include "app/PictureBox.h"
#include "app/ScrollBar.h"
#include "devices/Arduino.h"
#include "devices/ArduinoOutput.h"
#include "devices/DmxOutput.h"
#include "devices/Icp12Output.h"
#include "devices/K8055Output.h"
#include "devices/Tm1638.h"
#include "devices/Velleman.h"
#include "devices/iCP12.h"
#include "light/AutoLevel.h"
#include "light/LampControl.h"

namespace kf {

namespace {

constexpr std::uint32_t kFormBack = 0x505050;
constexpr std::uint32_t kPictureBack = 0x3C3C3C;
constexpr std::uint32_t kBlack = 0x000000;
constexpr std::uint32_t kYellow = 0x00FFFF;

QCheckBox* checkBox(QWidget* parent, const char* caption, QRect geometry) {
    auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
    box->setGeometry(geometry);
    return box;
}

QScrollBar* scrollBar(QWidget* parent, QRect geometry, int min, int max, int value, int small,
                      int large) {
    auto* bar = new ScrollBar(Qt::Horizontal, parent);
    bar->setGeometry(geometry);
    bar->setRange(min, max);
    bar->setValue(value);
    bar->setSingleStep(small);
    bar->setPageStep(large);
    bar->setFocusPolicy(Qt::StrongFocus);
    // The right arrow raises the value, as on any horizontal scroll bar of the platform's own.
    bar->setInvertedControls(false);
    return bar;
}

template <class Label = QLabel>
Label* deviceLabelAt(QWidget* parent, const char* caption, QRect geometry) {
    auto* label = new Label(QString::fromLatin1(caption), parent);
    label->setGeometry(geometry);
    label->setFont(arialFont(8.25, true));
    setBackColor(label, kColorOff);
    setForeColor(label, kBlack);
    return label;
}

}  // namespace

KleurFlitsFrm::KleurFlitsFrm(FormDependencies deps, QWidget* parent)
    : QWidget(parent),
      SerialPort_Links(deps.ports, 115200),
      SerialPort_Rechts(deps.ports, 9600),
      MSComm_Arduino_Links(deps.ports, 115200),
      MSComm_Arduino_Rechts(deps.ports, 115200),
      deps_(std::move(deps)) {
    addOutputs();
    buildControls();
    connectHandlers();
    watchK8055();
}

// One line an output: the order is the end's, which switches them off in turn.
void KleurFlitsFrm::addOutputs() {
    outputs_.add(std::make_unique<Icp12Output>(state_, Links, SerialPort_Links));
    outputs_.add(std::make_unique<Icp12Output>(state_, Rechts, SerialPort_Rechts));
    outputs_.add(std::make_unique<ArduinoOutput>(state_, Links, MSComm_Arduino_Links));
    outputs_.add(std::make_unique<ArduinoOutput>(state_, Rechts, MSComm_Arduino_Rechts));
    outputs_.add(std::make_unique<K8055Output>(state_, Links, deps_.k8055));
    outputs_.add(std::make_unique<K8055Output>(state_, Rechts, deps_.k8055));
    if (deps_.ola != nullptr) {  // the stage gets the lamps the window shows
        outputs_.add(std::make_unique<DmxOutput>(*deps_.ola));
    }
}

KleurFlitsFrm::~KleurFlitsFrm() {
    deps_.k8055.setPresenceHandler({});  // the driver may outlive the window
}

void KleurFlitsFrm::buildControls() {
    installFontSubstitutes();
    setWindowTitle(QStringLiteral("Sound to Light for iCP12 / Arduino Nano / K8055"));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(twips(6960), twips(3450));
    setFont(arialFont(9.75, true));
    kf::setBackColor(this, kFormBack);

    Check_iCP12 = checkBox(this, "iCP12", twipsRect(5760, 105, 1125, 300));
    Check_Arduino = checkBox(this, "Arduino", twipsRect(5760, 435, 1125, 300));
    Check_K8055 = checkBox(this, "K8055", twipsRect(5760, 765, 1125, 300));
    for (QCheckBox* box : {Check_iCP12, Check_Arduino, Check_K8055}) {
        kf::setBackColor(box, kColorOff);
    }
    HScroll_MaxAantLeds = scrollBar(this, twipsRect(5760, 1125, 735, 300), 0, 16, 6, 1, 2);
    Label_MaxNumLeds = new QLabel(QStringLiteral("6"), this);
    Label_MaxNumLeds->setGeometry(twipsRect(6570, 1125, 300, 300));
    Label_MaxNumLeds->setFont(arialFont(8.25, true));
    kf::setBackColor(Label_MaxNumLeds, 0x464646);
    setForeColor(Label_MaxNumLeds, 0xE0E0E0);
    HScrollVolume = scrollBar(this, twipsRect(5760, 1470, 1125, 300), 2, 150, 5, 1, 5);
    Check_Auto_Level = checkBox(this, "Auto level", twipsRect(5760, 1785, 1125, 300));
    Check_Auto_Level->setChecked(true);
    Check_Auto_Level->setToolTip(
        QStringLiteral("Automatically sets level for number of burning leds"));
    kf::setBackColor(Check_Auto_Level, kColorOn);
    Check_Active = checkBox(this, "Active", twipsRect(5760, 2115, 1125, 300));
    Check_Active->setChecked(true);
    kf::setBackColor(Check_Active, kColorOn);
    Check_Altijd_Top = checkBox(this, "On top", twipsRect(5760, 2445, 1125, 300));
    kf::setBackColor(Check_Altijd_Top, kColorOff);
    HScroll_Amplify = scrollBar(this, twipsRect(5760, 2775, 1125, 300), 5, 40, 10, 1, 1);
    Text_Amplify = new QLineEdit(QStringLiteral("amp 1"), this);
    Text_Amplify->setGeometry(twipsRect(6015, 2790, 600, 270));
    Text_Amplify->setFont(arialFont(8.25, false));
    Text_Amplify->setReadOnly(true);
    Text_Amplify->setFocusPolicy(Qt::NoFocus);  // the arrow keys stay with the threshold
    Text_Amplify->setFrame(false);
    Text_Amplify->setAlignment(Qt::AlignCenter);
    Text_Amplify->raise();
    CMD_End = new QPushButton(QStringLiteral("Close"), this);
    CMD_End->setGeometry(twipsRect(5760, 3090, 1125, 300));

    const auto channelBlock = [this](QRect geometry, QRect pictureGeometry, PictureBox*& picture,
                                     std::array<LampLabel*, 8>& lamps) {
        auto* block = new QFrame(this);
        block->setGeometry(geometry);
        kf::setBackColor(block, kBlack);
        picture = new PictureBox(block);
        picture->setGeometry(pictureGeometry);
        kf::setBackColor(picture, kPictureBack);
        for (int i = 0; i < 8; ++i) {
            auto* lampLabel = new LampLabel(QStringLiteral("x"), block);
            lampLabel->setGeometry(twipsRect(120 + 300 * i, 1860, 300, 270));
            lampLabel->setLampColour(kBlack);
            setForeColor(lampLabel, kYellow);
            lamps[static_cast<std::size_t>(i)] = lampLabel;
        }
        return block;
    };
    Picture1 = channelBlock(twipsRect(120, 105, 2730, 2295), twipsRect(120, 120, 2415, 1695),
                            Picture_NiveausLeft, LedLinks);
    Picture2 = channelBlock(twipsRect(2925, 105, 2730, 2295), twipsRect(150, 120, 2415, 1695),
                            Picture_NiveausRight, LedRechts);

    Label_iCP12_Links = deviceLabelAt(this, "iCP12 Left", twipsRect(120, 2505, 2730, 270));
    Label_iCP12_Rechts = deviceLabelAt(this, "iCP12 Right", twipsRect(2925, 2505, 2730, 270));
    Label_Arduino_Links =
        deviceLabelAt<ClickLabel>(this, "Arduino Left", twipsRect(120, 2805, 2730, 270));
    Label_Arduino_Rechts =
        deviceLabelAt<ClickLabel>(this, "Arduino Right", twipsRect(2940, 2790, 2730, 270));
    Label_Velleman_Links = deviceLabelAt(this, "K8055 Left", twipsRect(120, 3105, 2730, 270));
    Label_Velleman_Rechts = deviceLabelAt(this, "K8055 Right", twipsRect(2925, 3105, 2730, 270));

    Picture_Main_Zoeken = new QFrame(this);
    Picture_Main_Zoeken->setGeometry(twipsRect(1380, 675, 3000, 915));
    kf::setBackColor(Picture_Main_Zoeken, 0xE0E0E0);
    Picture_Main_Zoeken->setFrameShape(QFrame::Box);
    Label_Zoeken = new QLabel(QStringLiteral("Looking for..."), Picture_Main_Zoeken);
    Label_Zoeken->setGeometry(twipsRect(0, 75, 3000, 345));
    Label_Zoeken->setAlignment(Qt::AlignCenter);
    Picture4 = new QFrame(Picture_Main_Zoeken);
    Picture4->setGeometry(twipsRect(-30, 420, 3060, 315));
    Shape_Rechthoek = new QFrame(Picture4);
    Shape_Rechthoek->setGeometry(twipsRect(-600, 0, 600, 315));
    kf::setBackColor(Shape_Rechthoek, 0x0000FF);
    Picture_Main_Zoeken->raise();

    Timer_Zoeken.setInterval(deps_.timing.searchBarInterval);
    Timer_Settekst.setInterval(deps_.timing.setTekstDelay);
    tmrLiveSpec.setInterval(deps_.timing.frameInterval);
    tmrLiveSpec.setTimerType(Qt::PreciseTimer);
    paintRelease_.setSingleShot(true);
    // Timer_Zoeken is enabled in the design; start-up starts it as its second step.
}

void KleurFlitsFrm::connectHandlers() {
    connect(Check_iCP12, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_iCP12_Click);
    connect(Check_Arduino, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Arduino_Click);
    connect(Check_K8055, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_K8055_Click);
    connect(Check_Auto_Level, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Auto_Level_Click);
    connect(Check_Active, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Active_Click);
    connect(Check_Altijd_Top, &QCheckBox::toggled, this, &KleurFlitsFrm::Check_Altijd_Top_Click);
    connect(CMD_End, &QPushButton::clicked, this, &KleurFlitsFrm::CMD_End_Click);
    connect(HScroll_Amplify, &QScrollBar::valueChanged, this,
            &KleurFlitsFrm::HScroll_Amplify_Change);
    connect(HScroll_MaxAantLeds, &QScrollBar::valueChanged, this,
            &KleurFlitsFrm::HScroll_MaxAantLeds_Change);
    connect(Label_Arduino_Links, &ClickLabel::clicked, this,
            &KleurFlitsFrm::Label_Arduino_Links_Click);
    connect(Label_Arduino_Rechts, &ClickLabel::clicked, this,
            &KleurFlitsFrm::Label_Arduino_Rechts_Click);
    connect(Picture_NiveausLeft, &PictureBox::clicked, this, &KleurFlitsFrm::info);
    connect(Picture_NiveausRight, &PictureBox::clicked, this, &KleurFlitsFrm::info);
    connect(&Timer_Zoeken, &QTimer::timeout, this, &KleurFlitsFrm::Timer_Zoeken_Timer);
    connect(&Timer_Settekst, &QTimer::timeout, this, &KleurFlitsFrm::Timer_Settekst_Timer);
    connect(&tmrLiveSpec, &QTimer::timeout, this, &KleurFlitsFrm::tmrLiveSpec_Timer);
    connect(&paintRelease_, &QTimer::timeout, this, &KleurFlitsFrm::deliverPaint);
}

// ---- DeviceView ----

QLabel* KleurFlitsFrm::deviceLabel(DeviceLabel label) const {
    switch (label) {
        case DeviceLabel::Zoeken:
            return Label_Zoeken;
        case DeviceLabel::iCP12Links:
            return Label_iCP12_Links;
        case DeviceLabel::iCP12Rechts:
            return Label_iCP12_Rechts;
        case DeviceLabel::ArduinoLinks:
            return Label_Arduino_Links;
        case DeviceLabel::ArduinoRechts:
            return Label_Arduino_Rechts;
        case DeviceLabel::VellemanLinks:
            return Label_Velleman_Links;
        case DeviceLabel::VellemanRechts:
            return Label_Velleman_Rechts;
    }
    return Label_Zoeken;
}

void KleurFlitsFrm::setCaption(DeviceLabel label, const std::string& caption) {
    deviceLabel(label)->setText(QString::fromStdString(caption));
    // What was found also goes to stderr, for whoever starts the program from a terminal.
    if (label != DeviceLabel::Zoeken) {
        std::fprintf(stderr, "kleurflits-stereo: %s\n", caption.c_str());
    }
}

void KleurFlitsFrm::setBackColor(DeviceLabel label, std::uint32_t colour) {
    kf::setBackColor(deviceLabel(label), colour);
}

void KleurFlitsFrm::setToolTip(DeviceLabel label, const std::string& tip) {
    deviceLabel(label)->setToolTip(QString::fromStdString(tip));
}

// A K8055 whose writes fail (unplugged, permission lost) shows as absent, as a serial board
// does; the driver skips it and the frames go on for the others.
void KleurFlitsFrm::watchK8055() {
    deps_.k8055.setPresenceHandler(
        [this](std::int32_t address, bool present) { showK8055Presence(address, present); });
}

void KleurFlitsFrm::showK8055Presence(std::int32_t address, bool present) {
    for (int side : {Links, Rechts}) {
        const std::int32_t card = state_.K8055Card(side);
        if (card == 0 || Velleman::cardAddress(card) != address) {
            continue;
        }
        const DeviceLabel label =
            side == Links ? DeviceLabel::VellemanLinks : DeviceLabel::VellemanRechts;
        setBackColor(label, present ? state_.ColorOn : state_.ColorOff);
        setToolTip(label, present ? std::string() : std::string("disconnected"));
        std::fprintf(stderr, "kleurflits-stereo: K8055 card %d (%s) is %s\n",
                     static_cast<int>(address), side == Links ? "left" : "right",
                     present ? "back" : "gone");
        if (present) {
            boards_.k8055Back(address);
        } else {
            boards_.lost(BoardKind::K8055, side);
        }
    }
}

// ---- The frame ----

void KleurFlitsFrm::tmrLiveSpec_Timer() {
    outputs_.runFrame([this] { KleurFlitsMod::SpectrumAnalyse(state_, deps_.audio, fft_, *this); });
    show_.frameDone(value(Check_Auto_Level) == 1);
    if (paintHeld_ && paintPace_.due(PaintPace::Clock::now())) {
        deliverPaint();
    }
}

// ---- Painting at the screen's pace ----

bool KleurFlitsFrm::event(QEvent* event) {
    if (event->type() != QEvent::UpdateRequest) {
        return QWidget::event(event);
    }
    // Qt asks once for all the widgets' changes and not again until they are painted, so a
    // held request costs nothing more while frames add to it.
    paintPace_.setRefreshRate(screen() != nullptr ? screen()->refreshRate() : 0.0);
    if (paintPaced_ && !paintPace_.due(PaintPace::Clock::now())) {
        if (!paintHeld_) {
            paintHeld_ = true;
            // Longer than two frames: while the show runs a frame always comes first.
            paintRelease_.start(
                3 * std::chrono::duration_cast<std::chrono::milliseconds>(paintPace_.interval()) +
                deps_.timing.frameInterval);
        }
        return true;
    }
    return paintNow(event);
}

void KleurFlitsFrm::deliverPaint() {
    if (paintHeld_) {
        QEvent request(QEvent::UpdateRequest);
        paintNow(&request);
    }
}

bool KleurFlitsFrm::paintNow(QEvent* request) {
    paintHeld_ = false;
    paintRelease_.stop();
    paintPace_.painted(PaintPace::Clock::now());
    return QWidget::event(request);
}

void KleurFlitsFrm::drawPictures(const SpectrumPixels& rechts, const SpectrumPixels& links) {
    Picture_NiveausRight->showPixels(rechts);
    Picture_NiveausLeft->showPixels(links);
}

// The show core decides; the window reads its controls for it and paints what it decided.
void KleurFlitsFrm::LedBesturing(int LedNr, float WaardeLinks, float WaardeRechts) {
    const light::BandResult r =
        show_.band(LedNr, WaardeLinks, WaardeRechts,
                   {HScrollVolume->value(), HScrollVolume->maximum(), value(Check_Auto_Level) == 1,
                    HScroll_MaxAantLeds->value()});
    if (r.thresholdMoved) {
        HScrollVolume->setValue(r.threshold);
    }
    const auto i = static_cast<std::size_t>(light::lampIndex(LedNr));
    LedLinks[i]->setLampColour(r.colourLinks);
    LedRechts[i]->setLampColour(r.colourRechts);
}

// ---- The boards as the show core reaches them ----

void KleurFlitsFrm::sendPatterns() {
    outputs_.take(Output::Moment::FrameStart, LampFrame::of(state_));
}

void KleurFlitsFrm::sendFrame() {
    outputs_.take(Output::Moment::FrameEnd, LampFrame::of(state_));
}

// ---- Switches and controls ----

void KleurFlitsFrm::focusVolume() {
    HScrollVolume->setFocus(Qt::OtherFocusReason);
}

void KleurFlitsFrm::applySwitch(QCheckBox* box, SwitchResult result) {
    switch (result) {
        case SwitchResult::TurnedOn:
            kf::setBackColor(box, state_.ColorOn);
            break;
        case SwitchResult::TurnedOff:
            kf::setBackColor(box, state_.ColorOff);
            break;
        case SwitchResult::Untick:
            setValue(box, 0);
            break;
    }
    focusVolume();
}

void KleurFlitsFrm::Check_iCP12_Click() {
    if (!state_.Initialising) {
        applySwitch(Check_iCP12, iCP12::Toggle(state_));
    }
}

void KleurFlitsFrm::Check_Arduino_Click() {
    if (state_.Initialising) {
        return;
    }
    Timer_Settekst.start();
    if (state_.ArduinoPort(Links) != 0) {
        toggleArduinoSide(Links);
    } else if (state_.ArduinoPort(Rechts) == 0) {
        // No board at all; a right board left alone (its left one failed to open) switches
        // by itself below, once per click.
        setValue(Check_Arduino, 0);
    }
    if (state_.ArduinoPort(Rechts) != 0) {
        toggleArduinoSide(Rechts);
    }
    focusVolume();
}

// Each side toggles on its own flag: switching off first shows "-  OFF -" on the TM boards,
// switching on brings the side name a second later.
void KleurFlitsFrm::toggleArduinoSide(int side) {
    if (state_.ArduinoActive(side)) {
        state_.TM1638Mode = Tm1638::kModeOff;
        SetTekstTM1638();
        kf::setBackColor(Check_Arduino, state_.ColorOff);
        state_.ArduinoActive(side) = false;
    } else {
        kf::setBackColor(Check_Arduino, state_.ColorOn);
        state_.ArduinoActive(side) = true;
        state_.TM1638Mode = Tm1638::kModeSideName;
        Timer_Settekst.start();
    }
}

void KleurFlitsFrm::Check_K8055_Click() {
    if (!state_.Initialising) {
        applySwitch(Check_K8055, Velleman::Toggle(state_));
    }
}

void KleurFlitsFrm::Check_Auto_Level_Click() {
    kf::setBackColor(Check_Auto_Level,
                     value(Check_Auto_Level) == 1 ? state_.ColorOn : state_.ColorOff);
    focusVolume();
}

void KleurFlitsFrm::Check_Active_Click() {
    // Once shutdown has begun the frame timer stays off.
    if (!shuttingDown_) {
        if (value(Check_Active) == 1) {
            tmrLiveSpec.start();
            kf::setBackColor(Check_Active, state_.ColorOn);
        } else {
            tmrLiveSpec.stop();
            kf::setBackColor(Check_Active, state_.ColorOff);
        }
    }
    focusVolume();
}

void KleurFlitsFrm::Check_Altijd_Top_Click() {
    const bool onTop = value(Check_Altijd_Top) == 1;
    setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
    show();  // changing the window flags hides the window
    activateWindow();
    kf::setBackColor(Check_Altijd_Top, onTop ? state_.ColorOn : state_.ColorOff);
    focusVolume();
}

void KleurFlitsFrm::HScroll_Amplify_Change() {
    state_.Amplify = HScroll_Amplify->value() / 10.0;
    Text_Amplify->setText(amplifyText(HScroll_Amplify->value() / 10.0));
    focusVolume();
}

void KleurFlitsFrm::HScroll_MaxAantLeds_Change() {
    Label_MaxNumLeds->setText(QString::number(HScroll_MaxAantLeds->value()));
}

void KleurFlitsFrm::toggleVersion(int side) {
    if (state_.ArduinoType(side) != "TM") {
        return;
    }
    bool& v13 = state_.TM1638V13(side);
    v13 = !v13;
    (side == Links ? Label_Arduino_Links : Label_Arduino_Rechts)
        ->setText(QString::fromStdString(
            Tm1638::labelCaption(side, state_.ArduinoPort(side), state_.ArduinoType(side), v13)));
}

void KleurFlitsFrm::Label_Arduino_Links_Click() {
    toggleVersion(Links);
}

void KleurFlitsFrm::Label_Arduino_Rechts_Click() {
    toggleVersion(Rechts);
}

void KleurFlitsFrm::Timer_Zoeken_Timer() {
    const int x = Shape_Rechthoek->x();
    Shape_Rechthoek->move(x < 200 ? x + 1 : -40, Shape_Rechthoek->y());
}

void KleurFlitsFrm::Timer_Settekst_Timer() {
    Timer_Settekst.stop();
    SetTekstTM1638();
}

// ---- Texts, boxes, shutdown ----

void KleurFlitsFrm::SetTekstTM1638() {
    for (int side : {Links, Rechts}) {
        SerialPortControl& port = side == Links ? MSComm_Arduino_Links : MSComm_Arduino_Rechts;
        if (!port.PortOpen() || state_.ArduinoType(side) != "TM" || !state_.ArduinoActive(side)) {
            continue;
        }
        state_.ArduinoActive(side) = false;  // the frame step leaves the side alone meanwhile
        textPause_(side) = true;
        deps_.waits.dispatchOnce();
        state_.MessageText = Tm1638::displayText(state_.TM1638Mode, side);
        port.Output(Tm1638::textMessage(state_.MessageText));
        const QTime now = QTime::currentTime();
        state_.WaitStart = now.msecsSinceStartOfDay() / 1000.0;
        // Measured on the monotonic clock, so the pause never stretches over midnight.
        deps_.waits.waitFor(deps_.timing.tmTextPause);
        textPause_(side) = false;
        state_.ArduinoActive(side) = true;
    }
}

void KleurFlitsFrm::info() {
    deps_.boxes.show(aboutText(), std::string(), BoxIcon::Information);
}

void KleurFlitsFrm::Error_(const std::string& Text) {
    const int code = deps_.audio.BASS_ErrorGetCode();
    deps_.boxes.show(Text + "\r\n\r\nerror code: " + std::to_string(code), "Error",
                     BoxIcon::Warning);
}

void KleurFlitsFrm::CMD_End_Click() {
    if (shuttingDown_) {
        return;
    }
    tmrLiveSpec.stop();
    kf::setBackColor(Check_Active, state_.ColorOff);
    state_.ICP12Active = false;
    state_.K8055Active = false;
    state_.TM1638Mode = Tm1638::kModeEnd;
    Afsluiten();
}

void KleurFlitsFrm::closeEvent(QCloseEvent* event) {
    if (shuttingDown_) {
        // The running shutdown completes and ends the program; a second request waits for it.
        event->ignore();
        return;
    }
    Afsluiten();
    event->accept();
}

void KleurFlitsFrm::Afsluiten() {
    if (shuttingDown_) {
        return;
    }
    shuttingDown_ = true;
    // Nothing joins from here on; the boards present now are the ones switched off.
    boards_.stop();
    // A side paused for a text is still enabled: it gets its end text and goes dark like the
    // others. The interrupted pause never resumes, as the program ends here.
    for (int side : {Links, Rechts}) {
        if (textPause_(side)) {
            textPause_(side) = false;
            state_.ArduinoActive(side) = true;
        }
    }
    tmrLiveSpec.stop();
    deps_.waits.dispatchOnce();
    kf::setBackColor(Check_Active, state_.ColorOff);
    state_.ICP12Active = false;
    state_.K8055Active = false;
    if (state_.ArduinoType(Links) == "TM") {
        state_.TM1638Mode = Tm1638::kModeEnd;
        SetTekstTM1638();
    }
    if (state_.ArduinoType(Rechts) == "TM") {
        state_.TM1638Mode = Tm1638::kModeEnd;
        SetTekstTM1638();
    }
    deps_.audio.BASS_RecordFree();
    tmrLiveSpec.stop();
    // Waits (bounded) for the off reports that go out on writer threads, as ending the
    // program would take the threads with it.
    outputs_.switchOff();
    deps_.endProgram(0);
}

}  // namespace kf
