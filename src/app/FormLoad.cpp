#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <cstdio>

#include "app/Controls.h"
#include "app/KleurFlitsFrm.h"
#include "app/PictureBox.h"
#include "devices/Tm1638.h"
#include "devices/Velleman.h"
#include "devices/iCP12.h"

namespace kf {

namespace {

constexpr const char* kNoRecordingDevice[] = {
    "Er is geen opnameaaparaat geslecteerd.",
    "- Klik met de rechtermuistoets, rechtsonder op het scherm, op het luidspreker icoon.",
    "- Klik daarna op 'Opnameapparaten'.",
    "- Klik met de rechtermuistoets op 'Stereo mixer'.",
    "- Selecteer 'Inschakelen'.",
    "- Sluit het venster.",
    "- Start dit programma opnieuw.",
};

std::string noRecordingDeviceText() {
    std::string text;
    const std::size_t count = std::size(kNoRecordingDevice);
    for (std::size_t i = 0; i < count; ++i) {
        text += kNoRecordingDevice[i];
        if (i + 1 < count) {
            text += "\r\r";
        }
    }
    return text;
}

}  // namespace

int KleurFlitsFrm::Form_Load() {
    show();
    Timer_Zoeken.start();

    state_.ColorOff = kColorOff;
    state_.ColorOn = kColorOn;
    state_.TM1638V13Links = false;
    state_.TM1638V13Rechts = false;
    state_.Amplify = 1.0;
    Text_Amplify->setText(amplifyText(state_.Amplify));

    QDir::setCurrent(QCoreApplication::applicationDirPath());

    state_.ICP12Active = false;
    state_.ArduinoActive(Links) = false;
    state_.ArduinoActive(Rechts) = false;
    state_.K8055Active = false;

    iCP12::Search search{state_,
                         *this,
                         deps_.ports,
                         SerialPort_Links,
                         MSComm_Arduino_Links,
                         MSComm_Arduino_Rechts,
                         deps_.waits,
                         deps_.timing};
    iCP12::ZoekComPoorten(search);

    Picture_Main_Zoeken->hide();
    Timer_Zoeken.stop();

    openFoundPorts();
    watchForUnplug();

    setDeviceBox(Check_iCP12, state_.ICP12Active);
    // A right board can be left alone when its left partner failed to open.
    setDeviceBox(Check_Arduino, state_.ArduinoActive(Links) || state_.ArduinoActive(Rechts));

    Velleman::ZoekK8055(state_, *this, deps_.k8055);
    if (state_.K8055Card(Links) != 0 || state_.K8055Card(Rechts) != 0) {
        setDeviceBox(Check_K8055, true);
    } else {
        setValue(Check_K8055, 0);
        kf::setBackColor(Check_K8055, state_.ColorOff);
    }

    Picture_NiveausLeft->resize(twips(2400), Picture_NiveausLeft->height());
    Picture_NiveausRight->resize(twips(2400), Picture_NiveausRight->height());

    if ((deps_.audio.BASS_GetVersion() >> 16) != (modBass::kVersion >> 16)) {
        deps_.boxes.show("An incorrect version of BASS.DLL was loaded", std::string(),
                         BoxIcon::Critical);
        return kFatalExit;
    }
    if (!deps_.audio.BASS_RecordInit(-1)) {
        Error_("Can't initialize device");
        if (deps_.audio.BASS_ErrorGetCode() == modBass::BASS_ERROR_DEVICE) {
            state_.MessageText = noRecordingDeviceText();
            deps_.boxes.show(state_.MessageText, std::string(), BoxIcon::None);
        }
        return kFatalExit;
    }
    state_.RecordChannel = deps_.audio.BASS_RecordStart(44100, 2, 0, nullptr, nullptr);
    if (state_.RecordChannel == 0) {
        Error_("Can't start recording");
        return kFatalExit;
    }

    fillSpectrumBitmapInfo(state_.SpectrumBitmapInfo);
    Picture_NiveausLeft->setBitmapInfo(state_.SpectrumBitmapInfo);
    Picture_NiveausRight->setBitmapInfo(state_.SpectrumBitmapInfo);

    tmrLiveSpec.start();
    state_.TM1638Mode = Tm1638::kModeSideName;
    Timer_Settekst.start();
    startWatchingBoards();
    return kStartedOk;
}

void KleurFlitsFrm::setDeviceBox(QCheckBox* box, bool ticked) {
    state_.Initialising = true;
    setValue(box, ticked ? 1 : 0);
    state_.Initialising = false;
    kf::setBackColor(box, ticked ? state_.ColorOn : state_.ColorOff);
}

// A board found by the search whose port then fails to open is treated as no board.
void KleurFlitsFrm::openFoundPorts() {
    struct Found {
        SerialPortControl& control;
        std::int16_t& port;
        DeviceLabel label;
        const char* designCaption;
    };
    Found found[] = {
        {SerialPort_Links, state_.ICP12Port(Links), DeviceLabel::iCP12Links, "iCP12 Left"},
        {SerialPort_Rechts, state_.ICP12Port(Rechts), DeviceLabel::iCP12Rechts, "iCP12 Right"},
        {MSComm_Arduino_Links, state_.ArduinoPort(Links), DeviceLabel::ArduinoLinks,
         "Arduino Left"},
        {MSComm_Arduino_Rechts, state_.ArduinoPort(Rechts), DeviceLabel::ArduinoRechts,
         "Arduino Right"},
    };
    for (std::size_t i = 0; i < std::size(found); ++i) {
        Found& f = found[i];
        if (f.port == 0) {
            continue;
        }
        f.control.setCommPort(f.port);
        if (f.control.setPortOpen(true)) {
            continue;
        }
        f.port = 0;
        setCaption(f.label, f.designCaption);
        setBackColor(f.label, state_.ColorOff);
        setToolTip(f.label, std::string());
        if (i >= 2) {
            // Without a type the side's label no longer answers clicks as a TM board's.
            const int side = i == 2 ? Links : Rechts;
            state_.ArduinoActive(side) = false;
            state_.ArduinoType(side).clear();
        }
    }
    if (state_.ICP12Port(Links) == 0 && state_.ICP12Port(Rechts) == 0) {
        state_.ICP12Active = false;
    }
}

// A board whose port fails while running (unplugged) shows as absent; the others go on.
void KleurFlitsFrm::watchForUnplug() {
    const auto watch = [this](SerialPortControl& control, DeviceLabel label, BoardKind kind,
                              int side) {
        control.setFailureHandler([this, label, &control, kind, side] {
            setBackColor(label, state_.ColorOff);
            setToolTip(label, "disconnected");
            std::fprintf(stderr, "kleurflits-stereo: the board on COM%d (%s) is gone\n",
                         control.CommPort(), control.devicePath().c_str());
            boards_.lost(kind, side);  // its side is kept for it until it is back
        });
    };
    watch(SerialPort_Links, DeviceLabel::iCP12Links, BoardKind::Icp12, Links);
    watch(SerialPort_Rechts, DeviceLabel::iCP12Rechts, BoardKind::Icp12, Rechts);
    watch(MSComm_Arduino_Links, DeviceLabel::ArduinoLinks, BoardKind::Arduino, Links);
    watch(MSComm_Arduino_Rechts, DeviceLabel::ArduinoRechts, BoardKind::Arduino, Rechts);
}

}  // namespace kf
