#include <QCheckBox>
#include <QLabel>

#include "app/Controls.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

class StartUp : public FormFixture {
  protected:
    void expectEndedAtOnce(int status) {
        EXPECT_NE(status, KleurFlitsFrm::kStartedOk);
        EXPECT_FALSE(form->tmrLiveSpec.isActive());
        EXPECT_FALSE(form->Timer_Settekst.isActive());
        EXPECT_EQ(audio.count("BASS_RecordFree"), 0) << "no shutdown after a fatal failure";
        EXPECT_TRUE(endedWith.empty());
    }
};

TEST_F(StartUp, CallsTheAudioLibraryInOrder) {
    ASSERT_EQ(load(), KleurFlitsFrm::kStartedOk);
    const std::vector<std::string> expected = {"BASS_GetVersion", "BASS_RecordInit(-1)",
                                               "BASS_RecordStart(44100,2,0)"};
    EXPECT_EQ(audio.calls, expected);
    EXPECT_EQ(form->state().RecordChannel, audio.startResult);
    // The bitmap description is filled before the first frame.
    EXPECT_EQ(form->state().SpectrumBitmapInfo.bmiHeader.biWidth, 220);
    EXPECT_EQ(form->state().SpectrumBitmapInfo.SpectrumPalette[64].rgbRed, 128);
}

TEST_F(StartUp, AnyMinorVersionOfTwoPointFourPasses) {
    for (std::uint32_t version : {0x02040000U, 0x0204FFFFU, 0x02041234U}) {
        audio.version = version;
        audio.calls.clear();
        EXPECT_EQ(load(), KleurFlitsFrm::kStartedOk) << std::hex << version;
    }
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(StartUp, AnotherReleaseShowsTheVersionBoxAndEnds) {
    for (std::uint32_t version : {0x02030000U, 0x0203FFFFU, 0x03000000U, 0x0300FFFFU}) {
        audio.version = version;
        audio.calls.clear();
        boxes.shown.clear();
        const int status = load();
        SCOPED_TRACE(version);
        expectEndedAtOnce(status);
        ASSERT_EQ(boxes.shown.size(), 1U);
        EXPECT_EQ(boxes.shown[0].text, "An incorrect version of BASS.DLL was loaded");
        EXPECT_EQ(boxes.shown[0].title, "");
        EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Critical);
        EXPECT_EQ(audio.count("BASS_RecordInit(-1)"), 0);
    }
}

TEST_F(StartUp, NoRecordingDeviceShowsTheErrorThenTheInstructions) {
    audio.initResult = false;
    audio.initError = modBass::BASS_ERROR_DEVICE;
    expectEndedAtOnce(load());
    ASSERT_EQ(boxes.shown.size(), 2U);
    EXPECT_EQ(boxes.shown[0].text, "Can't initialize device\r\n\r\nerror code: 23");
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Warning);
    const std::string instructions =
        "Er is geen opnameaaparaat geslecteerd.\r\r"
        "- Klik met de rechtermuistoets, rechtsonder op het scherm, op het luidspreker icoon.\r\r"
        "- Klik daarna op 'Opnameapparaten'.\r\r"
        "- Klik met de rechtermuistoets op 'Stereo mixer'.\r\r"
        "- Selecteer 'Inschakelen'.\r\r"
        "- Sluit het venster.\r\r"
        "- Start dit programma opnieuw.";
    EXPECT_EQ(boxes.shown[1].text, instructions);
    EXPECT_EQ(boxes.shown[1].title, "");
    EXPECT_EQ(boxes.shown[1].icon, BoxIcon::None);
    EXPECT_EQ(form->state().MessageText, instructions);
    EXPECT_EQ(audio.count("BASS_RecordStart(44100,2,0)"), 0);
}

TEST_F(StartUp, NoAudioServerShowsOnlyTheErrorBox) {
    audio.initResult = false;
    audio.initError = modBass::BASS_ERROR_DRIVER;
    expectEndedAtOnce(load());
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].text, "Can't initialize device\r\n\r\nerror code: 3");
}

TEST_F(StartUp, RecordingThatCannotStartShowsItsCode) {
    audio.startResult = 0;
    audio.startError = modBass::BASS_ERROR_START;
    expectEndedAtOnce(load());
    ASSERT_EQ(boxes.shown.size(), 1U);
    EXPECT_EQ(boxes.shown[0].text, "Can't start recording\r\n\r\nerror code: 9");
    EXPECT_EQ(boxes.shown[0].title, "Error");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Warning);
}

TEST_F(StartUp, SettingTheSwitchesDoesNotToggleTheOutputs) {
    // A K8055 board ticks its box at start-up; were the click handler to run, it would switch
    // the output off again.
    hid.plugBoard(0);
    ASSERT_EQ(load(), KleurFlitsFrm::kStartedOk);
    EXPECT_TRUE(form->Check_K8055->isChecked());
    EXPECT_EQ(backColor(form->Check_K8055), kColorOn);
    EXPECT_TRUE(form->state().K8055Active);
    EXPECT_FALSE(form->state().Initialising);
    EXPECT_EQ(form->Label_Velleman_Links->text(), "Velleman Left CardNr. 0");
}

}  // namespace
}  // namespace kf::test
