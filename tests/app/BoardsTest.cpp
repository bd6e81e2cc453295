#include <QCheckBox>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "app/ClickLabel.h"
#include "app/Controls.h"
#include "boardsim/ArduinoSim.h"
#include "boardsim/Icp12Sim.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

using boardsim::ArduinoOptions;
using boardsim::ArduinoSim;
using boardsim::ArduinoType;
using boardsim::Icp12Sim;
using std::chrono::milliseconds;

// The whole start-up against simulated boards, then the running show.
class Boards : public FormFixture {
  protected:
    std::vector<std::unique_ptr<boardsim::BoardSim>> sims;
    std::vector<std::string> devices;

    void SetUp() override { timing = fastTiming(); }

    template <class Sim>
    Sim& add(std::unique_ptr<Sim> sim) {
        Sim& ref = *sim;
        devices.push_back(sim->slavePath());
        sims.push_back(std::move(sim));
        return ref;
    }
    Icp12Sim& icp12() { return add(std::make_unique<Icp12Sim>()); }
    ArduinoSim& arduino(ArduinoType type) {
        ArduinoOptions o;
        o.type = type;
        return add(std::make_unique<ArduinoSim>(o));
    }
    int start() { return load(devices); }

    // The frames run on this thread: wait with the event loop running.
    static bool received(const boardsim::BoardSim& sim, std::size_t bytes) {
        return QTest::qWaitFor([&] { return sim.receivedCount() >= bytes; }, 2000);
    }

    static std::vector<std::string> textsOf(const ArduinoSim& sim) {
        std::vector<std::string> texts;
        for (const auto& m : sim.state().messages) {
            if (m.command == 9) {
                texts.push_back(m.argument);
            }
        }
        return texts;
    }
};

TEST_F(Boards, StartUpOpensTheFoundPortsAndTicksTheSwitches) {
    Icp12Sim& left = icp12();
    ArduinoSim& tm = arduino(ArduinoType::TM);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    EXPECT_TRUE(form->SerialPort_Links.PortOpen());
    EXPECT_FALSE(form->SerialPort_Rechts.PortOpen());
    EXPECT_TRUE(form->MSComm_Arduino_Links.PortOpen());
    EXPECT_TRUE(form->Check_iCP12->isChecked());
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOn);
    EXPECT_TRUE(form->Check_Arduino->isChecked());
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOn);
    EXPECT_TRUE(form->state().ICP12Active) << "ticking the box at start-up toggled nothing";
    EXPECT_TRUE(form->state().ArduinoActive(Links));
    EXPECT_EQ(form->Label_Arduino_Links->text(), " Arduino Left Com: 2 TM V1.1");
    // Frames run: the iCP12 gets its commands, the Arduino its patterns.
    ASSERT_TRUE(received(left, 5 + 48 + 48 * 3));
    EXPECT_TRUE(left.violations().empty()) << left.summary();
    EXPECT_TRUE(received(tm, 40));
    EXPECT_TRUE(tm.violations().empty()) << tm.summary();
}

TEST_F(Boards, SideNamesReachTheTmDisplaysASecondAfterStartUp) {
    timing.setTekstDelay = milliseconds(1000);
    ArduinoSim& left = arduino(ArduinoType::TM);
    ArduinoSim& right = arduino(ArduinoType::TM);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    const auto started = boardsim::Clock::now();
    QTest::qWait(1600);
    ASSERT_EQ(textsOf(left), std::vector<std::string>{"LEFT"});
    ASSERT_EQ(textsOf(right), std::vector<std::string>{"   RIGHT"});
    const auto text = [](const ArduinoSim& s) {
        for (const auto& m : s.state().messages) {
            if (m.command == 9) {
                return m.time;
            }
        }
        return boardsim::Clock::time_point{};
    };
    EXPECT_GE(text(left) - started, milliseconds(900));
    EXPECT_LT(text(left) - started, milliseconds(1400));
    EXPECT_FALSE(form->Timer_Settekst.isActive()) << "fires once";
}

TEST_F(Boards, DuringATextPauseOnlyThatSideGetsNoPatterns) {
    timing.tmTextPause = milliseconds(600);
    ArduinoSim& left = arduino(ArduinoType::TM);
    ArduinoSim& right = arduino(ArduinoType::ET);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    form->Timer_Settekst.stop();
    QTest::qWait(100);
    form->state().TM1638Mode = 7;
    form->SetTekstTM1638();  // left pauses for 600 ms, the frames go on meanwhile
    const auto messages = left.state().messages;
    boardsim::Clock::time_point textAt{};
    for (const auto& m : messages) {
        if (m.command == 9) {
            textAt = m.time;
        }
    }
    ASSERT_NE(textAt, boardsim::Clock::time_point{});
    int leftDuringPause = 0;
    for (const auto& m : left.state().messages) {
        if (m.command == 1 && m.time > textAt && m.time < textAt + milliseconds(550)) {
            ++leftDuringPause;
        }
    }
    int rightDuringPause = 0;
    for (const auto& m : right.state().messages) {
        if (m.command == 1 && m.time > textAt && m.time < textAt + milliseconds(550)) {
            ++rightDuringPause;
        }
    }
    EXPECT_EQ(leftDuringPause, 0);
    EXPECT_GT(rightDuringPause, 20);
    QTest::qWait(100);
    EXPECT_GT(left.state().patternCount, messages.size() - 1) << "patterns resume after it";
}

TEST_F(Boards, SwitchingArduinoOffShowsOffOnEveryTmBoardAndStopsPatterns) {
    ArduinoSim& left = arduino(ArduinoType::TM);
    ArduinoSim& right = arduino(ArduinoType::TM);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    form->Timer_Settekst.stop();
    QTest::qWait(50);
    form->Check_Arduino->setChecked(false);
    EXPECT_FALSE(form->state().ArduinoActive(Links));
    EXPECT_FALSE(form->state().ArduinoActive(Rechts));
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOff);
    const auto rightTexts = textsOf(right);
    EXPECT_GE(std::count(rightTexts.begin(), rightTexts.end(), "-  OFF -"), 2);
    EXPECT_EQ(textsOf(left), std::vector<std::string>{"-  OFF -"});
    const unsigned patterns = left.state().patternCount + right.state().patternCount;
    QTest::qWait(100);
    EXPECT_EQ(left.state().patternCount + right.state().patternCount, patterns);

    // On again: patterns flow, and the side names follow a moment later.
    form->Check_Arduino->setChecked(true);
    QTest::qWait(timing.setTekstDelay.count() + 2 * timing.tmTextPause.count() + 200);
    EXPECT_GT(left.state().patternCount, patterns);
    EXPECT_EQ(textsOf(left).back(), "LEFT");
    EXPECT_EQ(textsOf(right).back(), "   RIGHT");
}

TEST_F(Boards, ClickingATmLabelFlipsItsVersionAndThePeakMessages) {
    ArduinoSim& tm = arduino(ArduinoType::TM);
    ArduinoSim& et = arduino(ArduinoType::ET);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    form->Timer_Settekst.stop();
    QTest::mouseClick(form->Label_Arduino_Links, Qt::LeftButton);
    EXPECT_EQ(form->Label_Arduino_Links->text(), " Arduino Left Com: 1 TM V1.3");
    EXPECT_TRUE(form->state().TM1638V13Links);
    QTest::qWait(100);
    EXPECT_GT(tm.state().peakCount, 3U) << "V1.3 gets the peak message every frame";
    QTest::mouseClick(form->Label_Arduino_Links, Qt::LeftButton);
    EXPECT_EQ(form->Label_Arduino_Links->text(), " Arduino Left Com: 1 TM V1.1");
    const unsigned peaks = tm.state().peakCount;
    QTest::qWait(100);
    EXPECT_EQ(tm.state().peakCount, peaks);

    QTest::mouseClick(form->Label_Arduino_Rechts, Qt::LeftButton);  // ET: nothing
    EXPECT_EQ(form->Label_Arduino_Rechts->text(), " Arduino Right Com: 2 ET");
    EXPECT_EQ(et.state().peakCount, 0U);
    EXPECT_TRUE(tm.violations().empty()) << tm.summary();
    EXPECT_TRUE(et.violations().empty()) << et.summary();
}

TEST_F(Boards, Icp12SwitchTogglesTheOutput) {
    Icp12Sim& board = icp12();
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    form->Check_iCP12->setChecked(false);
    EXPECT_FALSE(form->state().ICP12Active);
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOff);
    QTest::qWait(30);
    const std::size_t before = board.receivedCount();
    QTest::qWait(100);
    EXPECT_EQ(board.receivedCount(), before) << "nothing while disabled";
    form->Check_iCP12->setChecked(true);
    EXPECT_TRUE(form->state().ICP12Active);
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOn);
    EXPECT_TRUE(received(board, before + 48));
}

TEST_F(Boards, AnUnpluggedBoardTurnsRedWhileTheOthersGoOn) {
    Icp12Sim& gone = icp12();
    ArduinoSim& stays = arduino(ArduinoType::ET);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    QTest::qWait(100);
    sims[0].reset();  // the iCP12's cable is pulled
    (void)gone;
    QTest::qWait(100);
    const unsigned before = stays.state().patternCount;
    QTest::qWait(500);
    EXPECT_EQ(backColor(form->Label_iCP12_Links), kColorOff);
    EXPECT_GT(stays.state().patternCount - before, 35U) << "the others keep every frame";
    EXPECT_TRUE(form->tmrLiveSpec.isActive());
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace kf::test
