#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "app/AboutText.h"
#include "app/Controls.h"
#include "app/LampLabel.h"
#include "app/PictureBox.h"
#include "devices/Pty.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

using std::chrono::milliseconds;

const std::string kOffCommands = "(RA00)(RA10)(RA20)(RA30)(RA50)(RB00)(RB10)(RB20)";

class Shutdown : public FormFixture {
  protected:
    Pty left;
    Pty right;
    void SetUp() override {
        timing = fastTiming();
        makeForm({left.path(), right.path()});
        prepareRunning();
    }
};

TEST_F(Shutdown, WithoutBoardsOnlyFreesTheRecordingAndEnds) {
    form->tmrLiveSpec.start();
    form->Afsluiten();
    EXPECT_EQ(audio.count("BASS_RecordFree"), 1);
    EXPECT_TRUE(waits.waited.empty()) << "nothing to wait for";
    EXPECT_EQ(endedWith, std::vector<int>{0});
    EXPECT_FALSE(form->tmrLiveSpec.isActive());
    EXPECT_EQ(backColor(form->Check_Active), kColorOff);
    EXPECT_TRUE(form->Check_Active->isChecked()) << "its value is left as it was";
}

TEST_F(Shutdown, Icp12GetsItsEightOffCommandsThenItsPortCloses) {
    attachIcp12(Links, 1);
    form->state().ICP12Active = false;  // disabled by the user: switched off all the same
    form->Afsluiten();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), kOffCommands);
    EXPECT_FALSE(left.heldOpen()) << "its port is closed";
    EXPECT_EQ(right.readUntilQuiet(milliseconds(50)), "") << "the right line is not touched";
    EXPECT_EQ(endedWith, std::vector<int>{0});
}

TEST_F(Shutdown, BothIcp12BoardsAreSwitchedOff) {
    attachIcp12(Links, 1);
    attachIcp12(Rechts, 2);
    form->Afsluiten();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), kOffCommands);
    EXPECT_EQ(right.readUntilQuiet(milliseconds(150)), kOffCommands);
    EXPECT_FALSE(left.heldOpen());
    EXPECT_FALSE(right.heldOpen());
}

TEST_F(Shutdown, TmBoardShowsTheEndTextPausesThenGoesDark) {
    timing = Timing{};  // the real two-second pause
    makeForm({left.path(), right.path()});
    prepareRunning();
    attachArduino(Links, 1, "TM");
    const auto start = std::chrono::steady_clock::now();
    form->Afsluiten();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), "9/ in out /1/0/");
    EXPECT_GE(took, milliseconds(1950));
    EXPECT_EQ(waits.waited, std::vector<milliseconds>{milliseconds(2000)});
    EXPECT_FALSE(left.heldOpen());
    EXPECT_EQ(form->state().TM1638Mode, 5);
}

TEST_F(Shutdown, TwoTmBoardsEachGetTheEndTextTwiceBeforeGoingDark) {
    attachArduino(Links, 1, "TM");
    attachArduino(Rechts, 2, "TM", true);
    form->Afsluiten();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), "9/ in out /9/ in out /1/0/");
    EXPECT_EQ(right.readUntilQuiet(milliseconds(150)), "9/ in out /9/ in out /1/0/");
    EXPECT_EQ(waits.waited.size(), 4U);
}

TEST_F(Shutdown, AnArduinoDisabledByTheUserGetsNoAllOffButIsClosed) {
    attachArduino(Links, 1, "ET");
    attachArduino(Rechts, 2, "AL");
    form->state().ArduinoActive(Rechts) = false;
    form->Afsluiten();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), "1/0/");
    EXPECT_EQ(right.readUntilQuiet(milliseconds(150)), "");
    EXPECT_FALSE(right.heldOpen());
}

// The K8055 off step, the right-only board among it, runs through the real end of the process
// in ProgramEndTest.cpp: here the end returns, which would hide a report still under way.

TEST_F(Shutdown, CloseButtonPreparesAndRunsTheSameShutdown) {
    attachIcp12(Links, 1);
    attachArduino(Rechts, 2, "ET");
    form->state().K8055Active = true;
    form->tmrLiveSpec.start();
    QTest::mouseClick(form->CMD_End, Qt::LeftButton);
    EXPECT_FALSE(form->tmrLiveSpec.isActive());
    EXPECT_FALSE(form->state().ICP12Active);
    EXPECT_FALSE(form->state().K8055Active);
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), kOffCommands);
    EXPECT_EQ(right.readUntilQuiet(milliseconds(150)), "1/0/");
    EXPECT_EQ(endedWith, std::vector<int>{0});
}

TEST_F(Shutdown, ClosingTheWindowRunsTheShutdown) {
    attachIcp12(Links, 1);
    form->show();
    form->close();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), kOffCommands);
    EXPECT_EQ(endedWith, std::vector<int>{0});
}

TEST_F(Shutdown, ASecondCloseDuringThePauseIsIgnoredAndTheFirstCompletes) {
    attachArduino(Links, 1, "TM");
    attachIcp12(Rechts, 2);
    form->show();
    // The user closes the window again while the end text is showing.
    QTimer::singleShot(50, form.get(), [this] {
        form->close();
        QTest::mouseClick(form->CMD_End, Qt::LeftButton);
    });
    form->Afsluiten();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), "9/ in out /1/0/");
    EXPECT_EQ(right.readUntilQuiet(milliseconds(150)), kOffCommands);
    EXPECT_EQ(endedWith, std::vector<int>{0}) << "ended once";
    EXPECT_EQ(audio.count("BASS_RecordFree"), 1);
}

TEST_F(Shutdown, StoppingDuringTheSideNamePauseStillSwitchesTheTmBoardOff) {
    attachArduino(Links, 1, "TM");
    form->state().TM1638Mode = 7;
    // SIGTERM or Close arrives while the side name is showing.
    QTimer::singleShot(50, form.get(), [this] { form->Afsluiten(); });
    form->SetTekstTM1638();
    EXPECT_EQ(left.readUntilQuiet(milliseconds(150)), "9/LEFT/9/ in out /1/0/");
    EXPECT_EQ(endedWith, std::vector<int>{0});
}

TEST_F(Shutdown, ActiveCannotRestartTheFramesOnceShutdownBegan) {
    attachArduino(Links, 1, "TM");
    // The user ticks Active off and on again while the end text is showing.
    int framesAfterTheClick = -1;
    QTimer::singleShot(50, form.get(), [this, &framesAfterTheClick] {
        form->Check_Active->setChecked(false);
        form->Check_Active->setChecked(true);
        const int before = audio.fftRequests;
        // The rest of the pause: a frame timer started again would run about ten frames here.
        QTest::qWait(100);
        framesAfterTheClick = audio.fftRequests - before;
    });
    form->Afsluiten();
    EXPECT_EQ(framesAfterTheClick, 0) << "frames ran during the shutdown's pause";
    EXPECT_FALSE(form->tmrLiveSpec.isActive());
}

TEST_F(Shutdown, ABoardUnpluggedDuringTheRunIsSkipped) {
    attachIcp12(Links, 1);
    attachArduino(Rechts, 2, "ET");
    left.closeMaster();  // the iCP12's cable is pulled
    QTest::qWait(50);
    frame();
    form->Afsluiten();
    EXPECT_EQ(right.readUntilQuiet(milliseconds(150)).substr(0, 4), "1/0/");
    EXPECT_EQ(endedWith, std::vector<int>{0});
    EXPECT_EQ(backColor(form->Label_iCP12_Links), kColorOff);
}

class Options : public FormFixture {
  protected:
    Pty board;
    void SetUp() override {
        makeForm({board.path()});
        prepareRunning();
        form->HScrollVolume->setValue(20);
        form->Check_Auto_Level->setChecked(false);
    }
};

TEST_F(Options, InactiveFreezesLampsAndSendsNothingMore) {
    attachArduino(Links, 1, "ET");
    setLevel(Links, 5, 90);
    setLevel(Rechts, 8, 125);
    frame();
    frame();
    board.readUntilQuiet(milliseconds(100));
    const auto lampColour = [this](int side, int i) {
        return backColor(
            (side == Links ? form->LedLinks : form->LedRechts)[static_cast<std::size_t>(i)]);
    };
    ASSERT_EQ(lampColour(Links, 3), 0x00FF00U);
    ASSERT_EQ(lampColour(Rechts, 6), 0x0000FFU);

    form->tmrLiveSpec.start();
    form->Check_Active->setChecked(false);
    silence();
    QTest::qWait(100);  // ten frame intervals
    EXPECT_EQ(board.readUntilQuiet(milliseconds(100)), "");
    EXPECT_EQ(lampColour(Links, 3), 0x00FF00U);
    EXPECT_EQ(lampColour(Rechts, 6), 0x0000FFU);

    form->Check_Active->setChecked(true);
    QTest::qWait(100);
    const std::string resumed = board.readUntilQuiet(milliseconds(100));
    EXPECT_EQ(resumed.substr(0, 5), "1/8/1") << "the frozen frame's pattern goes out first";
    EXPECT_EQ(lampColour(Links, 3), 0x000000U);
}

TEST_F(Options, AboutBoxOnAClickOnEitherPicture) {
    form->show();
    for (QWidget* picture : {static_cast<QWidget*>(form->Picture_NiveausLeft),
                             static_cast<QWidget*>(form->Picture_NiveausRight)}) {
        QTest::mouseClick(picture, Qt::LeftButton);
    }
    ASSERT_EQ(boxes.shown.size(), 2U);
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Information);
    EXPECT_EQ(boxes.shown[1].text, boxes.shown[0].text);
}

TEST(AboutText, SevenLinesJoinedByCarriageReturns) {
    const std::string text = aboutText();
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t cr; (cr = text.find('\r', from)) != std::string::npos; from = cr + 1) {
        lines.push_back(text.substr(from, cr - from));
    }
    lines.push_back(text.substr(from));
    ASSERT_EQ(lines.size(), 7U);
    EXPECT_NE(lines[0].find("KleurFlits"), std::string::npos);
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Used sources...");
    EXPECT_EQ(lines[3].rfind("- https://", 0), 0U);
    EXPECT_NE(lines[3].find("kissfft"), std::string::npos);
    EXPECT_EQ(lines[4].rfind("- https://", 0), 0U);
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[6], "Version: 1.4.89 Date 12-03-2023");
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace kf::test
