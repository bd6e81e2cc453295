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
#include "devices/Tm1638.h"

namespace kf {

KleurFlitsFrm::KleurFlitsFrm(FormDependencies deps, QWidget* parent)
    : QWidget(parent), deps_(std::move(deps)) {
    buildControls();
    connectHandlers();
}

KleurFlitsFrm::~KleurFlitsFrm() = default;

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

// ---- The frame ----

void KleurFlitsFrm::tmrLiveSpec_Timer() {
    paintFrame(frame_.run({HScrollVolume->value(), HScrollVolume->maximum(),
                           value(Check_Auto_Level) == 1, HScroll_MaxAantLeds->value()}));
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

// The core decided; the window paints it.
void KleurFlitsFrm::paintFrame(const FramePicture& picture) {
    if (picture.thresholdMoved) {
        HScrollVolume->setValue(picture.threshold);
    }
    for (std::size_t i = 0; i < LedLinks.size(); ++i) {
        LedLinks[i]->setLampColour(picture.lampsLinks[i]);
        LedRechts[i]->setLampColour(picture.lampsRechts[i]);
    }
    if (picture.barsLinks != nullptr) {
        Picture_NiveausRight->showPixels(*picture.barsRechts);
        Picture_NiveausLeft->showPixels(*picture.barsLinks);
    }
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
        applySwitch(Check_iCP12, boards_.toggle(BoardKind::Icp12));
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
        applySwitch(Check_K8055, boards_.toggle(BoardKind::K8055));
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
    const std::string caption = boards_.toggleVersion(side);
    if (!caption.empty()) {
        (side == Links ? Label_Arduino_Links : Label_Arduino_Rechts)
            ->setText(QString::fromStdString(caption));
    }
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
        if (!boards_.beginText(side)) {
            continue;
        }
        deps_.waits.dispatchOnce();
        state_.MessageText = Tm1638::displayText(state_.TM1638Mode, side);
        boards_.sendText(side, state_.MessageText);
        const QTime now = QTime::currentTime();
        state_.WaitStart = now.msecsSinceStartOfDay() / 1000.0;
        // Measured on the monotonic clock, so the pause never stretches over midnight.
        deps_.waits.waitFor(deps_.timing.tmTextPause);
        boards_.endText(side);
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
    boards_.endAllTexts();
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
    boards_.switchOff();
    deps_.endProgram(0);
}

}  // namespace kf
