// K8055 boards in the running window, their transfers taking real time on their writer threads
// as with hidapi: a board that stops taking writes shows as absent, once, and the frames go on.

#include <QLabel>
#include <QTest>
#include <chrono>
#include <string>

#include "app/Controls.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

using kftest::FakeHidTransport;
using std::chrono::milliseconds;

int count(const std::string& text, const std::string& line) {
    int n = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
        ++n;
    }
    return n;
}

class K8055Boards : public FormFixture {
  protected:
    const std::string left = FakeHidTransport::pathOf(0);
    const std::string right = FakeHidTransport::pathOf(3);

    void SetUp() override {
        timing = fastTiming();
        hid.setWriterThreads(true);
        hid.setWriteTime(milliseconds(3));
        hid.plugBoard(0);
        hid.plugBoard(3);
        ASSERT_EQ(load(), KleurFlitsFrm::kStartedOk);
        audio.fft.fill(0.05F);  // a loud, broad sound
    }

    int writesTo(const std::string& path) const {
        int n = 0;
        for (const auto& [p, bytes] : hid.writes()) {
            n += p == path ? 1 : 0;
        }
        return n;
    }

    // Runs the window (its frame timer) until the condition holds or five seconds pass.
    template <class Condition>
    bool runUntil(Condition condition) {
        for (int i = 0; i < 500 && !condition(); ++i) {
            QTest::qWait(10);
        }
        return condition();
    }
};

TEST_F(K8055Boards, AnUnpluggedBoardShowsAsAbsentOnceAndTheOtherGoesOn) {
    ASSERT_EQ(backColor(form->Label_Velleman_Links), kColorOn);
    ASSERT_TRUE(runUntil([&] { return writesTo(left) > 3 && writesTo(right) > 3; }));

    ::testing::internal::CaptureStderr();
    hid.unplug(left);
    const bool shown = runUntil([&] { return backColor(form->Label_Velleman_Links) == kColorOff; });
    const int rightBefore = writesTo(right);
    // Beyond the driver's next look for the lost board.
    QTest::qWait(static_cast<int>(k8055d::K8055Driver::kRetryInterval.count()) + 300);
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_TRUE(shown) << "the left label never turned to the off colour";
    EXPECT_EQ(form->Label_Velleman_Links->toolTip(), QStringLiteral("disconnected"));
    EXPECT_EQ(count(err, "kleurflits-stereo: K8055 card 0 (left) is gone\n"), 1) << err;
    EXPECT_EQ(count(err, "K8055"), 1) << err;
    EXPECT_EQ(backColor(form->Label_Velleman_Rechts), kColorOn);
    EXPECT_GT(writesTo(right) - rightBefore, 20) << "the right board kept getting its frames";
    EXPECT_TRUE(boxes.shown.empty()) << "a lost board shows no box";
}

TEST_F(K8055Boards, APluggedBackBoardShowsAsPresentAgain) {
    ASSERT_TRUE(runUntil([&] { return writesTo(left) > 3; }));
    hid.unplug(left);
    ASSERT_TRUE(runUntil([&] { return backColor(form->Label_Velleman_Links) == kColorOff; }));
    ::testing::internal::CaptureStderr();
    hid.plugBoard(0);
    const int leftBefore = writesTo(left);
    const bool back = runUntil([&] { return backColor(form->Label_Velleman_Links) == kColorOn; });
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(back);
    EXPECT_GT(writesTo(left), leftBefore);
    EXPECT_EQ(form->Label_Velleman_Links->toolTip(), QString());
    EXPECT_EQ(count(err, "kleurflits-stereo: K8055 card 0 (left) is back\n"), 1) << err;
}

// A card the user may not open (no udev rule): it is seated as found, shows as absent and says
// why, is named once however often it is tried again, and the card the user may open lights.
class K8055Permission : public FormFixture {
  protected:
    void SetUp() override {
        timing = fastTiming();
        hid.setWriterThreads(true);
        hid.plugBoard(0);
        hid.plugBoard(3);
        hid.denyPermission(FakeHidTransport::pathOf(0));
    }
};

TEST_F(K8055Permission, ACardTheUserMayNotOpenShowsAbsentSaysWhyAndIsNamedOnce) {
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(load(), KleurFlitsFrm::kStartedOk);
    // Beyond the board watch's next looks for cards.
    QTest::qWait(static_cast<int>(k8055d::K8055Driver::kRetryInterval.count()) * 2 + 300);
    const std::string err = ::testing::internal::GetCapturedStderr();

    const std::string denied = FakeHidTransport::pathOf(0);
    const std::string why = "No permission to open " + denied +
                            ": install the udev rule packaging/udev/70-kleurflits-k8055.rules "
                            "(see README), then plug the board in again.";
    EXPECT_EQ(count(err, "no permission to open " + denied + "; install the udev rule"), 1) << err;
    EXPECT_EQ(count(err, "no permission"), 1) << err;
    EXPECT_EQ(form->Label_Velleman_Links->text(), "Velleman Left CardNr. 0");
    EXPECT_EQ(backColor(form->Label_Velleman_Links), kColorOff);
    EXPECT_EQ(form->Label_Velleman_Links->toolTip().toStdString(), why);
    EXPECT_EQ(form->Label_Velleman_Rechts->text(), "Velleman Right CardNr. 3");
    EXPECT_EQ(backColor(form->Label_Velleman_Rechts), kColorOn);
    EXPECT_EQ(form->Label_Velleman_Rechts->toolTip(), QString());
    EXPECT_EQ(form->Label_iCP12_Links->toolTip().toStdString().find("No permission"),
              std::string::npos)
        << "a serial side is not blamed for a K8055";
    int rightWrites = 0;
    for (const auto& [path, bytes] : hid.writes()) {
        rightWrites += path == FakeHidTransport::pathOf(3) ? 1 : 0;
    }
    EXPECT_GT(rightWrites, 20) << "the card the user may open gets its frames";
}

}  // namespace
}  // namespace kf::test
