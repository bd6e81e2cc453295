#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <memory>
#include <optional>

#include "app/ClickLabel.h"
#include "app/Controls.h"
#include "boardsim/ArduinoSim.h"
#include "boardsim/Icp12Sim.h"
#include "boardsim/SilentSim.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

using boardsim::ArduinoOptions;
using boardsim::ArduinoSim;
using boardsim::ArduinoType;
using boardsim::Icp12Sim;
using std::chrono::milliseconds;

// A serial device opened by another program that holds an exclusive lock on it, the way any
// well-behaved serial program keeps a port to itself. Also a window on the line's settings.
class HeldDevice {
  public:
    explicit HeldDevice(const std::string& path, bool lock = true)
        : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        ok_ = fd_ >= 0 && (!lock || ::flock(fd_, LOCK_EX | LOCK_NB) == 0);
    }
    ~HeldDevice() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    HeldDevice(const HeldDevice&) = delete;
    HeldDevice& operator=(const HeldDevice&) = delete;

    bool ok() const { return ok_; }
    // The baud rate the line is set to now, as the terminal driver has it.
    speed_t baud() const {
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) {
            return B0;
        }
        return ::cfgetospeed(&tio);
    }

  private:
    int fd_;
    bool ok_ = false;
};

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

    // Once the search has moved on to COM `next`, something happens to COM `com`: another
    // program takes it, or its board is pulled. The search has found the board by then, but
    // start-up can no longer open it. COM `next` must answer nothing, or the search may end
    // before the panel names it.
    std::optional<HeldDevice> held;
    void holdWhenSearchReaches(int com, int next) {
        const std::string path = devices[static_cast<std::size_t>(com - 1)];
        waits.beforeWait = [this, path, next] {
            if (!held && searchShows(next)) {
                held.emplace(path);
            }
        };
    }
    void unplugWhenSearchReaches(int com, int next) {
        waits.beforeWait = [this, com, next] {
            auto& sim = sims[static_cast<std::size_t>(com - 1)];
            if (sim && searchShows(next)) {
                sim.reset();
            }
        };
    }
    // The search panel names the lowest port still being tried.
    bool searchShows(int com) const {
        const QString text = form->Label_Zoeken->text();
        return text == QString("Looking for ICP12 on com%1").arg(com) ||
               text == QString("Looking for Arduino on com%1").arg(com);
    }
    // A port after the boards that answers nothing: the search goes on to it after them.
    void silent() { add(std::make_unique<boardsim::SilentSim>()); }

    // A click on the box itself, as the user gives it.
    static void click(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
    }
    static unsigned framesOf(const Icp12Sim& sim) { return sim.state().frameCount; }

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
    EXPECT_TRUE(form->Check_iCP12->isChecked());
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOn);
    EXPECT_TRUE(form->Check_Arduino->isChecked());
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOn);
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
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOff);
    QTest::qWait(30);
    const std::size_t before = board.receivedCount();
    QTest::qWait(100);
    EXPECT_EQ(board.receivedCount(), before) << "nothing while disabled";
    form->Check_iCP12->setChecked(true);
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

// The right iCP12 alone, on its own control: the left one was found but is gone by the time
// start-up opens the ports. Its switch must switch it, and its frames must flow.
class RightIcp12Alone : public Boards, public ::testing::WithParamInterface<bool> {};

TEST_P(RightIcp12Alone, GetsItsFramesAndItsSwitchWorks) {
    const bool heldElsewhere = GetParam();
    icp12();
    Icp12Sim& right = icp12();
    silent();
    if (heldElsewhere) {
        holdWhenSearchReaches(1, 3);
    } else {
        unplugWhenSearchReaches(1, 3);
    }
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    if (heldElsewhere) {
        ASSERT_TRUE(held && held->ok()) << "the left device was not taken";
    } else {
        ASSERT_FALSE(sims[0]) << "the left board was not pulled";
    }
    EXPECT_EQ(form->Label_iCP12_Links->text(), "iCP12 Left");
    EXPECT_EQ(backColor(form->Label_iCP12_Links), kColorOff);
    EXPECT_EQ(form->Label_iCP12_Rechts->text(), "iCP12 Right on Com: 2");
    EXPECT_EQ(backColor(form->Label_iCP12_Rechts), kColorOn);
    EXPECT_TRUE(form->Check_iCP12->isChecked());
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOn);
    ASSERT_TRUE(QTest::qWaitFor([&] { return framesOf(right) >= 5; }, 2000)) << right.summary();

    click(form->Check_iCP12);
    EXPECT_FALSE(form->Check_iCP12->isChecked());
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOff);
    QTest::qWait(50);
    const unsigned frozen = framesOf(right);
    const std::size_t bytes = right.receivedCount();
    QTest::qWait(150);
    EXPECT_EQ(framesOf(right), frozen) << "switched off, the board gets nothing";
    EXPECT_EQ(right.receivedCount(), bytes);

    click(form->Check_iCP12);
    EXPECT_TRUE(form->Check_iCP12->isChecked());
    EXPECT_EQ(backColor(form->Check_iCP12), kColorOn);
    EXPECT_TRUE(QTest::qWaitFor([&] { return framesOf(right) >= frozen + 5; }, 2000));
    EXPECT_TRUE(right.violations().empty()) << right.summary();
    EXPECT_TRUE(boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(LeftGone, RightIcp12Alone, ::testing::Values(true, false),
                         [](const auto& info) {
                             return info.param ? std::string("HeldByAnotherProgram")
                                               : std::string("Unplugged");
                         });

TEST_F(Boards, TheArduinoSwitchFollowsARightBoardWhoseLeftOneCouldNotBeOpened) {
    ArduinoSim& left = arduino(ArduinoType::TM);
    ArduinoSim& right = arduino(ArduinoType::TM);
    silent();
    holdWhenSearchReaches(1, 3);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    ASSERT_TRUE(held && held->ok());
    const std::size_t leftBytes = left.receivedCount();
    EXPECT_EQ(form->Label_Arduino_Links->text().toStdString(), "Arduino Left");
    EXPECT_EQ(backColor(form->Label_Arduino_Links), kColorOff);
    EXPECT_EQ(form->Label_Arduino_Rechts->text(), " Arduino Right Com: 2 TM V1.1");
    EXPECT_TRUE(form->Check_Arduino->isChecked()) << "the right board gets patterns";
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOn);
    const auto settle = milliseconds(timing.setTekstDelay + timing.tmTextPause + milliseconds(200));
    QTest::qWait(static_cast<int>(settle.count()));
    ASSERT_EQ(textsOf(right), std::vector<std::string>{"   RIGHT"});
    ASSERT_TRUE(received(right, right.receivedCount() + 40));

    // Off: the right board shows "-  OFF -" once and gets no more patterns, and nothing
    // switches it on again behind the user's back.
    click(form->Check_Arduino);
    EXPECT_FALSE(form->Check_Arduino->isChecked());
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOff);
    const unsigned patterns = right.state().patternCount;
    QTest::qWait(static_cast<int>(settle.count()));
    EXPECT_EQ(textsOf(right), (std::vector<std::string>{"   RIGHT", "-  OFF -"}));
    EXPECT_EQ(right.state().patternCount, patterns);

    // On: patterns again, and the side name a moment later.
    click(form->Check_Arduino);
    EXPECT_TRUE(form->Check_Arduino->isChecked());
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOn);
    QTest::qWait(static_cast<int>(settle.count()));
    EXPECT_EQ(textsOf(right), (std::vector<std::string>{"   RIGHT", "-  OFF -", "   RIGHT"}));
    EXPECT_GT(right.state().patternCount, patterns);

    EXPECT_EQ(left.receivedCount(), leftBytes) << "nothing goes to the board start-up lost";
    EXPECT_TRUE(right.violations().empty()) << right.summary();
}

TEST_F(Boards, ALabelClickOnAnArduinoThatCouldNotBeOpenedDoesNothing) {
    ArduinoSim& lostLeft = arduino(ArduinoType::TM);
    ArduinoSim& et = arduino(ArduinoType::ET);
    silent();
    holdWhenSearchReaches(1, 3);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    ASSERT_TRUE(held && held->ok());
    form->Timer_Settekst.stop();
    const std::size_t leftBytes = lostLeft.receivedCount();
    QTest::mouseClick(form->Label_Arduino_Links, Qt::LeftButton);
    EXPECT_EQ(form->Label_Arduino_Links->text().toStdString(), "Arduino Left");
    EXPECT_EQ(backColor(form->Label_Arduino_Links), kColorOff);
    QTest::qWait(100);
    EXPECT_EQ(lostLeft.receivedCount(), leftBytes);
    EXPECT_EQ(form->Label_Arduino_Rechts->text(), " Arduino Right Com: 2 ET");
    EXPECT_GT(et.state().patternCount, 3U);
    EXPECT_EQ(et.state().peakCount, 0U);
}

TEST_F(Boards, ALabelClickOnARightArduinoThatCouldNotBeOpenedDoesNothing) {
    ArduinoSim& et = arduino(ArduinoType::ET);
    ArduinoSim& lostRight = arduino(ArduinoType::TM);
    silent();
    holdWhenSearchReaches(2, 3);
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    ASSERT_TRUE(held && held->ok());
    const std::size_t rightBytes = lostRight.receivedCount();
    QTest::mouseClick(form->Label_Arduino_Rechts, Qt::LeftButton);
    EXPECT_EQ(form->Label_Arduino_Rechts->text().toStdString(), "Arduino Right");
    // The left board's switch is untouched by the loss.
    EXPECT_TRUE(form->Check_Arduino->isChecked());
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOn);
    QTest::qWait(100);
    EXPECT_EQ(lostRight.receivedCount(), rightBytes);
    EXPECT_GT(et.state().patternCount, 3U);
}

TEST_F(Boards, EachBoardControlRunsItsLineAtItsOwnBaudRate) {
    icp12();
    icp12();
    arduino(ArduinoType::ET);
    arduino(ArduinoType::ET);
    // Our own view of each line, opened before the window takes them.
    std::vector<std::unique_ptr<HeldDevice>> lines;
    for (const std::string& path : devices) {
        lines.push_back(std::make_unique<HeldDevice>(path, false));
        ASSERT_TRUE(lines.back()->ok()) << path;
    }
    ASSERT_EQ(start(), KleurFlitsFrm::kStartedOk);
    for (const auto& sim : sims) {
        ASSERT_TRUE(received(*sim, sim->receivedCount() + 4)) << sim->summary();
    }
    EXPECT_EQ(form->Label_iCP12_Rechts->text(), "iCP12 Right on Com: 2");
    EXPECT_EQ(lines[0]->baud(), static_cast<speed_t>(B115200)) << "left iCP12";
    EXPECT_EQ(lines[1]->baud(), static_cast<speed_t>(B9600)) << "right iCP12";
    EXPECT_EQ(lines[2]->baud(), static_cast<speed_t>(B115200)) << "left Arduino";
    EXPECT_EQ(lines[3]->baud(), static_cast<speed_t>(B115200)) << "right Arduino";
}

}  // namespace
}  // namespace kf::test
