#include <QCheckBox>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <algorithm>
#include <cmath>

#include "app/Controls.h"
#include "app/LampLabel.h"
#include "app/PictureBox.h"
#include "audio/KleurFlitsMod.h"
#include "devices/BoardRegistry.h"
#include "devices/FakeHidTransport.h"
#include "devices/Pty.h"
#include "devices/iCP12.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

// The running frame, driven tick by tick, with boards on pseudo-terminals wired in directly.
class Frame : public FormFixture {
  protected:
    Pty arduino;
    Pty icp12;

    void SetUp() override {
        makeForm({arduino.path(), icp12.path()});
        prepareRunning();
        form->HScrollVolume->setValue(20);
        form->Check_Auto_Level->setChecked(false);
    }

    std::uint32_t lamp(int side, int i) {
        return backColor(
            (side == Links ? form->LedLinks : form->LedRechts)[static_cast<std::size_t>(i)]);
    }
};

TEST_F(Frame, ArduinoGetsThePreviousFramesPatternAtTheStartOfEachFrame) {
    attachArduino(Links, 1, "ET");
    setLevel(Links, 4, 60);
    frame();  // the very first frame sends pattern 0
    EXPECT_EQ(arduino.read(4, std::chrono::milliseconds(500)), "1/0/");
    setLevel(Links, 6, 60);
    frame();
    EXPECT_EQ(arduino.read(4, std::chrono::milliseconds(500)), "1/4/");
    silence();
    frame();
    EXPECT_EQ(arduino.read(5, std::chrono::milliseconds(500)), "1/20/");
    frame();
    EXPECT_EQ(arduino.read(4, std::chrono::milliseconds(500)), "1/0/");
    EXPECT_EQ(arduino.readUntilQuiet(std::chrono::milliseconds(100)), "");
}

TEST_F(Frame, PeakMaskHoldsBandTwoOfThisFrameAndTheRestOfTheLast) {
    attachArduino(Links, 1, "TM", true);
    setLevel(Links, 2, 125);
    setLevel(Links, 5, 125);
    frame();
    EXPECT_EQ(arduino.read(8, std::chrono::milliseconds(500)), "1/0/4/1/");
    frame();
    EXPECT_EQ(arduino.read(8, std::chrono::milliseconds(500)), "1/9/4/9/");
    // The band-2 lamp is green although its band peaks; band 5 shows red.
    EXPECT_EQ(lamp(Links, 0), 0x00FF00U);
    EXPECT_EQ(lamp(Links, 3), 0x0000FFU);
    EXPECT_EQ(lamp(Links, 1), 0x000000U);
    EXPECT_EQ(lamp(Rechts, 3), 0x000000U);
}

TEST_F(Frame, PeakMessagesFollowTheBoardType) {
    attachArduino(Links, 1, "AL");
    setLevel(Links, 3, 60);
    frame();
    frame();
    EXPECT_EQ(arduino.readUntilQuiet(std::chrono::milliseconds(150)), "1/0/1/2/");  // no "4/0/"
    setLevel(Links, 7, 126);
    frame();
    EXPECT_EQ(arduino.readUntilQuiet(std::chrono::milliseconds(150)), "1/2/");
    frame();
    EXPECT_EQ(arduino.readUntilQuiet(std::chrono::milliseconds(150)), "1/34/4/32/");

    kf::BoardRegistry::setArduinoType(form->state(), Links, "TM");  // V1.1: never a peak message
    frame();
    EXPECT_EQ(arduino.readUntilQuiet(std::chrono::milliseconds(150)), "1/34/");
    kf::BoardRegistry::setArduinoType(form->state(), Links, "XY");  // unknown: silent
    frame();
    EXPECT_EQ(arduino.readUntilQuiet(std::chrono::milliseconds(150)), "");
}

TEST_F(Frame, Icp12GetsEightCommandsWithinTheFrame) {
    attachIcp12(Links, 2);
    setLevel(Links, 2, 60);
    setLevel(Links, 3, 60);
    setLevel(Links, 4, 60);
    setLevel(Rechts, 9, 60);  // the right side has no board
    frame();
    EXPECT_EQ(icp12.read(48, std::chrono::milliseconds(500)),
              "(RA01)(RA11)(RA21)(RA30)(RA50)(RB00)(RB10)(RB20)");
    silence();
    frame();
    EXPECT_EQ(icp12.read(48, std::chrono::milliseconds(500)),
              "(RA00)(RA10)(RA20)(RA30)(RA50)(RB00)(RB10)(RB20)");
    form->state().ICP12Active = false;
    setLevel(Links, 2, 60);
    frame();
    EXPECT_EQ(icp12.readUntilQuiet(std::chrono::milliseconds(150)), "");
    EXPECT_EQ(lamp(Links, 0), 0x00FF00U) << "the on-screen lamps work without a board";
}

// A board that answers its commands: over a show the answers come to far more than the
// line's buffers hold (some 20 KB on a pseudo-terminal), so unless the frames read them away
// the board soon cannot send at all.
TEST_F(Frame, Icp12RepliesAreReadAwayEveryFrame) {
    attachIcp12(Links, 2);
    const std::string replies(1000, 'K');
    constexpr std::size_t kWanted = 150'000;
    std::size_t sent = 0;
    for (int k = 0; k < 400 && sent < kWanted; ++k) {
        const ssize_t n = ::write(icp12.master(), replies.data(), replies.size());
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
        frame();
        QTest::qWait(1);
        icp12.read(65536, std::chrono::milliseconds(0));  // the commands, taken as they come
    }
    EXPECT_GE(sent, kWanted) << "the board's replies piled up in the line";
}

TEST_F(Frame, LitCountHoldsTheLastFramesLampsForTheAutomaticLevel) {
    form->HScrollVolume->setValue(20);
    form->HScroll_MaxAantLeds->setValue(2);
    form->Check_Auto_Level->setChecked(true);
    setLevel(Links, 3, 60);
    setLevel(Links, 4, 60);
    setLevel(Rechts, 4, 60);
    frame();  // nothing was lit before: the threshold falls
    EXPECT_EQ(form->HScrollVolume->value(), 19);
    EXPECT_EQ(form->state().LitCount, 3);
    frame();  // three lit, two wanted: it rises
    EXPECT_EQ(form->HScrollVolume->value(), 20);
    form->HScroll_MaxAantLeds->setValue(3);
    frame();  // exactly as many as wanted: it falls
    EXPECT_EQ(form->HScrollVolume->value(), 19);

    form->Check_Auto_Level->setChecked(false);
    frame();
    EXPECT_EQ(form->state().LitCount, 0) << "cleared after the frame while the level is manual";
    EXPECT_EQ(form->HScrollVolume->value(), 19);
}

TEST_F(Frame, ThresholdIsStrict) {
    form->HScrollVolume->setValue(60);
    setLevel(Links, 5, 60);
    setLevel(Rechts, 5, 61);
    frame();
    EXPECT_EQ(lamp(Links, 3), 0x000000U);
    EXPECT_EQ(lamp(Rechts, 3), 0x00FF00U);
}

TEST_F(Frame, SilenceLeavesEveryLampDark) {
    form->HScrollVolume->setValue(2);
    frame();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(lamp(Links, i), 0U);
        EXPECT_EQ(lamp(Rechts, i), 0U);
    }
    EXPECT_EQ(form->state().LedPattern(Links), 0);
}

TEST_F(Frame, PicturesShowTheBarsInPaletteColours) {
    form->state().SpectrumBitmapInfo = {};
    fillSpectrumBitmapInfo(form->state().SpectrumBitmapInfo);
    form->Picture_NiveausLeft->setBitmapInfo(form->state().SpectrumBitmapInfo);
    form->Picture_NiveausLeft->resize(160, 113);
    form->show();
    setLevel(Links, 3, 127);
    frame();
    const QImage shot = form->Picture_NiveausLeft->grab().toImage();
    ASSERT_EQ(shot.size(), QSize(160, 113));
    // Image line 0 is the top row (127) of the bar; the box shows the upper 113 rows.
    EXPECT_EQ(shot.pixelColor(25, 0), QColor(254, 2, 0));
    EXPECT_EQ(shot.pixelColor(25, 112), QColor(30, 226, 0));  // row 14: entry 15
    EXPECT_EQ(shot.pixelColor(5, 50), QColor(0, 0, 0));       // band 2 is silent
    EXPECT_EQ(shot.pixelColor(38, 50), QColor(0, 0, 0));      // the gap after band 3
}

}  // namespace
}  // namespace kf::test
