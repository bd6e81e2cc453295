// The window with its DMX output against a real olad of the test's own: the lamps it shows
// reach the universe, "Active" unticked lets nothing more through, and each way of ending
// leaves the sixteen channels at 0.

#include <QCheckBox>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include "devices/OlaOutput.h"
#include "support/FormFixture.h"
#include "support/Olad.h"
#include "support/Require.h"

namespace kf::test {
namespace {

using namespace std::chrono_literals;
using kftest::DmxUpdate;
using kftest::DmxWatcher;
using kftest::lampText;
using kftest::OladServer;

auto showing(const char* lamps) {
    return [want = std::string(lamps)](const DmxUpdate& u) { return lampText(u) == want; };
}

class OlaWindow : public FormFixture {
  protected:
    void SetUp() override {
        KF_REQUIRE(kftest::oladAvailable(), "olad (Debian package ola) and its olad user");
        ASSERT_TRUE(olad_.start());
        watcher_ = std::make_unique<DmxWatcher>(olad_.rpcPort(), 1);
        ASSERT_TRUE(watcher_->waitRegistered());
        OlaSettings s;
        s.rpcPort = olad_.rpcPort();
        ola_ = std::make_unique<OlaOutput>(s);
        ports.emplace(std::vector<std::string>{});
        k8055.emplace(hid);
        FormDependencies deps{audio,
                              *ports,
                              *k8055,
                              boxes,
                              waits,
                              timing,
                              [this](int status) { endedWith.push_back(status); }};
        deps.ola = ola_.get();
        form = std::make_unique<KleurFlitsFrm>(deps);
        prepareRunning();
        form->HScrollVolume->setValue(20);
        form->Check_Auto_Level->setChecked(false);
    }
    std::string seen() const {
        const auto last = watcher_->last();
        return last ? lampText(*last) : std::string("nothing");
    }
    // Lights left band 4 (left lamp 3) and right band 8 (right lamp 7) for a frame.
    void frameWithTwoLamps() {
        setLevel(Links, 4, 60);
        setLevel(Rechts, 8, 60);
        frame();
        ASSERT_TRUE(watcher_->waitFor(showing("L..#..... R......#."), 5s)) << seen();
    }
    // Waits with the event loop running, so the frame timer ticks meanwhile.
    bool waitShowing(const char* lamps, std::chrono::milliseconds timeout) {
        const auto end = kftest::OlaClock::now() + timeout;
        while (kftest::OlaClock::now() < end) {
            if (watcher_->waitFor(showing(lamps), 0ms)) {
                return true;
            }
            QTest::qWait(20);
        }
        return false;
    }
    void expectDarkAfter(std::size_t from) {
        EXPECT_TRUE(watcher_->waitFor(showing("L........ R........"), 2s, from)) << seen();
        ASSERT_TRUE(watcher_->last());
        EXPECT_EQ(lampText(*watcher_->last()), "L........ R........");
    }

    OladServer olad_;
    std::unique_ptr<DmxWatcher> watcher_;
    std::unique_ptr<OlaOutput> ola_;
};

TEST_F(OlaWindow, EachFramesLampsReachTheUniverse) {
    frameWithTwoLamps();
    silence();
    setLevel(Links, 9, 60);
    frame();
    EXPECT_TRUE(watcher_->waitFor(showing("L.......# R........"), 5s)) << seen();
}

TEST_F(OlaWindow, NothingNewReachesTheUniverseWhileActiveIsUnticked) {
    frameWithTwoLamps();
    form->tmrLiveSpec.start();
    form->Check_Active->setChecked(false);
    silence();
    setLevel(Links, 2, 60);
    const std::size_t frozen = watcher_->count();
    QTest::qWait(700);  // seventy frame intervals, and a refresh of the frozen lamps
    for (const auto& u : watcher_->updates()) {
        EXPECT_EQ(lampText(u).find("L#"), std::string::npos) << "a frame went out while inactive";
    }
    EXPECT_GE(watcher_->count(), frozen);

    form->Check_Active->setChecked(true);
    EXPECT_TRUE(waitShowing("L#....... R........", 5s)) << seen();
    form->Check_Active->setChecked(false);
}

TEST_F(OlaWindow, TheCloseButtonLeavesAllSixteenAtZero) {
    frameWithTwoLamps();
    form->tmrLiveSpec.start();
    const std::size_t lit = watcher_->count();
    QTest::mouseClick(form->CMD_End, Qt::LeftButton);
    // Afsluiten waited for olad: the zeros are there by the time the program would end.
    ASSERT_EQ(endedWith, std::vector<int>{0});
    expectDarkAfter(lit);
}

TEST_F(OlaWindow, ClosingTheWindowLeavesAllSixteenAtZero) {
    frameWithTwoLamps();
    form->show();
    const std::size_t lit = watcher_->count();
    form->close();
    ASSERT_EQ(endedWith, std::vector<int>{0});
    expectDarkAfter(lit);
}

}  // namespace
}  // namespace kf::test
