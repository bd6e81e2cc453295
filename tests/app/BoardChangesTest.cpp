// The window while boards come and go: labels, switches and frames of a board that joins after
// start-up, on links that appear the way KLEURFLITS_SERIAL_PORTS names ports.

#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <memory>

#include "app/ClickLabel.h"
#include "app/Controls.h"
#include "boardsim/ArduinoSim.h"
#include "boardsim/Icp12Sim.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

namespace fs = std::filesystem;
using boardsim::ArduinoOptions;
using boardsim::ArduinoSim;
using boardsim::ArduinoState;
using boardsim::ArduinoType;
using boardsim::Icp12Sim;
using boardsim::Icp12State;

class Joining : public FormFixture {
  protected:
    fs::path dir;

    void SetUp() override {
        timing = fastTiming();
        char tmpl[] = "/tmp/kf-joining.XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    void TearDown() override {
        form.reset();
        fs::remove_all(dir);
    }
    std::string port(int n) const { return (dir / ("com" + std::to_string(n))).string(); }
    void plug(int n, const boardsim::BoardSim& sim) {
        fs::create_symlink(sim.slavePath(), port(n));
    }
    // Start-up over COM1..COM3, whatever is plugged in by then; then the show runs.
    void startUp() { ASSERT_EQ(load({port(1), port(2), port(3)}), KleurFlitsFrm::kStartedOk); }
    std::unique_ptr<ArduinoSim> arduino(ArduinoType type) {
        ArduinoOptions o;
        o.type = type;
        return std::make_unique<ArduinoSim>(o);
    }
    bool boxTicked(QCheckBox* box) const { return value(box) == 1; }
};

TEST_F(Joining, TheFirstBoardOfAKindTicksTheSwitchStartUpLeftUntickedAndGetsFrames) {
    startUp();
    ASSERT_FALSE(boxTicked(form->Check_Arduino));
    auto board = arduino(ArduinoType::ET);
    plug(2, *board);
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxTicked(form->Check_Arduino); }, 4000));
    EXPECT_EQ(backColor(form->Check_Arduino), kColorOn);
    EXPECT_EQ(form->Label_Arduino_Links->text().toStdString(), " Arduino Left Com: 2 ET");
    EXPECT_EQ(backColor(form->Label_Arduino_Links), kColorOn);
    EXPECT_EQ(form->Label_Arduino_Links->toolTip().toStdString(), port(2));
    EXPECT_TRUE(QTest::qWaitFor([&] { return board->state().patternCount > 10; }, 2000))
        << board->summary();
}

TEST_F(Joining, ABoardJoiningASwitchTheUserTurnedOffIsSetUpButGetsNoFrames) {
    Icp12Sim left;
    plug(1, left);
    startUp();
    ASSERT_TRUE(boxTicked(form->Check_iCP12));
    form->Check_iCP12->click();  // the user switches the iCP12 boards off
    ASSERT_FALSE(boxTicked(form->Check_iCP12));
    Icp12Sim right;
    plug(3, right);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return form->Label_iCP12_Rechts->text() == "iCP12 Right on Com: 3"; }, 4000));
    EXPECT_EQ(backColor(form->Label_iCP12_Rechts), kColorOn);
    EXPECT_FALSE(boxTicked(form->Check_iCP12)) << "the user's choice stands";
    // The set-up reaches the simulator when it has read it, not at once on a busy machine.
    EXPECT_TRUE(QTest::qWaitFor([&] { return right.state().setUpCount[0] > 0; }, 2000))
        << right.summary();
    QTest::qWait(200);  // twenty frame intervals in which it must get no frame
    EXPECT_EQ(right.state().setUpCount[0], 1U) << right.summary();
    EXPECT_EQ(right.state().frameCount, 0U) << right.summary();
    // Ticked again: both boards get frames.
    form->Check_iCP12->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return right.state().frameCount > 5; }, 2000))
        << right.summary();
}

TEST_F(Joining, ATmBoardThatJoinsShowsItsSideNameAndPausesThatSideAlone) {
    auto leftTm = arduino(ArduinoType::TM);
    plug(1, *leftTm);
    startUp();
    // Past the start-up's side names.
    ASSERT_TRUE(QTest::qWaitFor([&] { return leftTm->state().textCount > 0; }, 3000));
    QTest::qWait(500);
    auto rightTm = arduino(ArduinoType::TM);
    plug(2, *rightTm);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rightTm->state().textCount > 0; }, 5000))
        << rightTm->summary();
    EXPECT_EQ(rightTm->state().text, std::optional<std::string>("   RIGHT"));
    EXPECT_EQ(form->Label_Arduino_Rechts->text().toStdString(), " Arduino Right Com: 2 TM V1.1");
    // During the right side's pause the left one keeps its frames.
    const unsigned leftBefore = leftTm->state().patternCount;
    const unsigned rightBefore = rightTm->state().patternCount;
    QTest::qWait(100);
    EXPECT_GT(leftTm->state().patternCount, leftBefore + 5);
    EXPECT_EQ(rightTm->state().patternCount, rightBefore);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return rightTm->state().patternCount > rightBefore + 5; }, 2000));
}

TEST_F(Joining, AtTheEndABoardThatJoinedIsSwitchedOffLikeTheOthers) {
    startUp();
    Icp12Sim board;
    plug(1, board);
    ASSERT_TRUE(QTest::qWaitFor([&] { return board.state().frameCount > 5; }, 4000));
    form->CMD_End->click();
    EXPECT_EQ(endedWith, std::vector<int>{0});
    // The simulator reads the last bytes and the close when it next runs.
    EXPECT_TRUE(board.waitForCloseCount(board.openCount(), std::chrono::seconds(5)));
    const std::string wire = board.received();
    EXPECT_TRUE(wire.ends_with("(RA00)(RA10)(RA20)(RA30)(RA50)(RB00)(RB10)(RB20)"))
        << wire.substr(wire.size() > 100 ? wire.size() - 100 : 0);
}

}  // namespace
}  // namespace kf::test
