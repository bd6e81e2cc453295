// A serial port the user may not open (not in the group dialout): start-up names it once,
// with what to do, the sides left without a board say why, and the boards it may open light
// as usual.

#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QTest>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>

#include "app/ClickLabel.h"
#include "boardsim/ArduinoSim.h"
#include "boardsim/Icp12Sim.h"
#include "devices/PortWatcher.h"
#include "support/AsOrdinaryUser.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

using boardsim::ArduinoOptions;
using boardsim::ArduinoSim;
using boardsim::ArduinoType;
using boardsim::Icp12Sim;

// What the program writes to std::cerr while it lives.
class CapturedErrors {
  public:
    CapturedErrors() : old_(std::cerr.rdbuf(text_.rdbuf())) {}
    ~CapturedErrors() { std::cerr.rdbuf(old_); }
    CapturedErrors(const CapturedErrors&) = delete;
    CapturedErrors& operator=(const CapturedErrors&) = delete;
    std::string text() const { return text_.str(); }

  private:
    std::ostringstream text_;
    std::streambuf* old_;
};

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

class Permissions : public FormFixture {
  protected:
    void SetUp() override { timing = fastTiming(); }
};

TEST_F(Permissions, APortTheUserMayNotOpenIsNamedOnceWithTheRemedy) {
    Icp12Sim barred;
    Icp12Sim allowed;
    ArduinoOptions tm;
    tm.type = ArduinoType::TM;
    ArduinoSim arduino(tm);
    // A serial device only its group may open, the user not in it.
    ASSERT_EQ(::chmod(barred.devicePath().c_str(), 0), 0);
    CapturedErrors errors;
    AsOrdinaryUser user;
    ASSERT_TRUE(user.ok());

    ASSERT_EQ(load({barred.slavePath(), allowed.slavePath(), arduino.slavePath()}),
              KleurFlitsFrm::kStartedOk);

    const std::string named = "no permission to open " + barred.slavePath();
    EXPECT_EQ(occurrences(errors.text(), named), 1U) << errors.text();
    EXPECT_EQ(occurrences(errors.text(), "no permission"), 1U) << errors.text();
    EXPECT_NE(errors.text().find("sudo adduser $USER dialout"), std::string::npos);

    // The boards it may open light as usual: the first iCP12 it may open takes the left.
    EXPECT_EQ(form->Label_iCP12_Links->text(), " iCP12 Left on Com: 2");
    EXPECT_EQ(form->Label_iCP12_Links->toolTip().toStdString(), allowed.slavePath());
    EXPECT_EQ(form->Label_Arduino_Links->text(), " Arduino Left Com: 3 TM V1.1");
    EXPECT_TRUE(QTest::qWaitFor([&] { return allowed.state().frameCount >= 5; }, 2000))
        << allowed.summary();
    EXPECT_TRUE(QTest::qWaitFor([&] { return arduino.state().patternCount >= 5; }, 2000))
        << arduino.summary();
    EXPECT_EQ(barred.receivedCount(), 0U);

    // The sides still without a board say why, and what to do.
    const QString why = QString::fromStdString(
        "No permission to open " + barred.slavePath() +
        ": add yourself to the group dialout (sudo adduser $USER dialout), then log out and in "
        "again.");
    EXPECT_EQ(form->Label_iCP12_Rechts->toolTip(), why);
    EXPECT_EQ(form->Label_Arduino_Rechts->toolTip(), why);
}

TEST_F(Permissions, WithEveryPortOpenNothingIsSaidAndNoLabelBlamesPermissions) {
    Icp12Sim board;
    CapturedErrors errors;
    AsOrdinaryUser user;
    ASSERT_TRUE(user.ok());
    ASSERT_EQ(load({board.slavePath()}), KleurFlitsFrm::kStartedOk);
    EXPECT_EQ(errors.text().find("permission"), std::string::npos) << errors.text();
    EXPECT_EQ(form->Label_iCP12_Rechts->toolTip(), QString());
    EXPECT_TRUE(QTest::qWaitFor([&] { return board.state().frameCount >= 5; }, 2000));
}

// Plugged in while the show runs, on a link as KLEURFLITS_SERIAL_PORTS names ports.
TEST_F(Permissions, ABoardPluggedInThatTheUserMayNotOpenIsNamedOnceHoweverOftenItComesBack) {
    char tmpl[] = "/tmp/kf-permission.XXXXXX";
    const std::filesystem::path dir = ::mkdtemp(tmpl);
    const std::string com1 = (dir / "com1").string();
    const std::string com2 = (dir / "com2").string();
    Icp12Sim barred;
    Icp12Sim allowed;
    ASSERT_EQ(::chmod(barred.devicePath().c_str(), 0), 0);
    CapturedErrors errors;
    AsOrdinaryUser user;
    ASSERT_TRUE(user.ok());
    ASSERT_EQ(load({com1, com2}), KleurFlitsFrm::kStartedOk);

    const std::string named = "no permission to open " + com1;
    for (int plugged = 1; plugged <= 2; ++plugged) {
        std::filesystem::create_symlink(barred.slavePath(), com1);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return errors.text().find(named) != std::string::npos; }, 4000))
            << "plugged in " << plugged << " time(s)";
        // Pulled again once the watch has seen it: the next look misses it.
        QTest::qWait(PortWatcher::kLookIntervalMs + 200);
        std::filesystem::remove(com1);
        QTest::qWait(PortWatcher::kLookIntervalMs + 200);
    }
    EXPECT_EQ(occurrences(errors.text(), named), 1U) << errors.text();
    EXPECT_EQ(form->Label_iCP12_Links->toolTip().toStdString(),
              "No permission to open " + com1 +
                  ": add yourself to the group dialout (sudo adduser $USER dialout), then log "
                  "out and in again.");

    // One it may open joins as usual, and its label names its device instead.
    std::filesystem::create_symlink(allowed.slavePath(), com2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return allowed.state().frameCount >= 5; }, 4000))
        << allowed.summary();
    EXPECT_EQ(form->Label_iCP12_Links->toolTip().toStdString(), com2);
    EXPECT_EQ(barred.receivedCount(), 0U);
    form.reset();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kf::test
