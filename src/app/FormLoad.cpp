#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>

#include "app/Controls.h"
#include "app/KleurFlitsFrm.h"
#include "app/PictureBox.h"
#include "devices/Tm1638.h"

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

    boards_.searchSerial(deps_.waits);

    Picture_Main_Zoeken->hide();
    Timer_Zoeken.stop();

    boards_.openFound();

    setDeviceBox(Check_iCP12, state_.ICP12Active);
    // A right board can be left alone when its left partner failed to open.
    setDeviceBox(Check_Arduino, state_.ArduinoActive(Links) || state_.ArduinoActive(Rechts));

    boards_.searchK8055();
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

}  // namespace kf
