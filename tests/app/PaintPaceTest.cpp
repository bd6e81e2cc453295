#include "app/PaintPace.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QEvent>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "app/LampLabel.h"
#include "support/FormFixture.h"

namespace kf::test {
namespace {

using namespace std::chrono_literals;
using Clock = PaintPace::Clock;

TEST(PaintPace, OneRefreshApartAllowingForTheTimersJitter) {
    PaintPace pace;
    const Clock::time_point t0{};
    EXPECT_TRUE(pace.due(t0)) << "the first paint goes at once";
    pace.setRefreshRate(60.0);
    pace.painted(t0);
    EXPECT_FALSE(pace.due(t0 + 10ms)) << "a 10 ms frame is sooner than a 60 Hz refresh";
    EXPECT_TRUE(pace.due(t0 + 20ms));
    EXPECT_TRUE(pace.due(t0 + 13ms)) << "a quarter of a refresh early still paints";

    pace.setRefreshRate(50.0);
    pace.painted(t0);
    EXPECT_TRUE(pace.due(t0 + 19500us)) << "a frame a little early for a 50 Hz screen";
    EXPECT_FALSE(pace.due(t0 + 10ms));

    pace.setRefreshRate(144.0);
    pace.painted(t0);
    EXPECT_TRUE(pace.due(t0 + 10ms)) << "a fast screen gets every frame";
}

TEST(PaintPace, AScreenWithoutAUsableRateCountsAsSixtyHertz) {
    for (double hz : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::infinity(), 1e9}) {
        PaintPace pace;
        pace.setRefreshRate(hz);
        const auto ms =
            std::chrono::duration_cast<std::chrono::microseconds>(pace.interval()).count();
        EXPECT_NEAR(static_cast<double>(ms), 16667.0, 1.0) << hz;
    }
}

// The window on its screen, with the frame timer running as in the show.
class WindowPaint : public FormFixture {
  protected:
    // Records when a lamp was painted and what colour it had then.
    class PaintLog : public QObject {
      public:
        explicit PaintLog(LampLabel* lamp) : lamp_(lamp) { lamp->installEventFilter(this); }
        std::vector<Clock::time_point> at;
        std::uint32_t shown = 0xFFFFFFFF;

      protected:
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) {
                at.push_back(Clock::now());
                shown = lamp_->lampColour();
            }
            return false;
        }

      private:
        LampLabel* lamp_;
    };

    void SetUp() override {
        makeForm();
        prepareRunning();
        form->HScrollVolume->setValue(20);
        form->Check_Auto_Level->setChecked(false);
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }

    LampLabel* lamp() { return form->LedLinks[2]; }  // band 4
    void toggle() {
        lit_ = !lit_;
        if (lit_) {
            setLevel(Links, 4, 60);
        } else {
            silence();
        }
    }
    void runFrame() {
        QMetaObject::invokeMethod(&form->tmrLiveSpec, "timeout", Qt::DirectConnection);
    }

    bool lit_ = false;
};

TEST_F(WindowPaint, FramesFasterThanTheScreenArePaintedOncePerRefreshAndNeverFreeze) {
    const double hz = form->screen()->refreshRate();
    ASSERT_GT(hz, 0.0);
    ASSERT_LT(hz, 90.0) << "the test needs a screen slower than the 100 frames a second";
    PaintLog log(lamp());
    int frames = 0;
    // After each frame the lamp's band flips, so every frame asks for a repaint.
    QObject::connect(&form->tmrLiveSpec, &QTimer::timeout, form.get(), [&] {
        ++frames;
        toggle();
    });
    QTest::qWait(50);
    log.at.clear();
    // A hundred frames, however long a loaded machine takes for them.
    form->tmrLiveSpec.start();
    EXPECT_TRUE(QTest::qWaitFor([&] { return frames >= 100; }, 20000));
    form->tmrLiveSpec.stop();

    EXPECT_GE(log.at.size(), 25u) << "the lamp kept being painted while it changed";
    // Never two paints within one refresh, however many frames asked for one meanwhile.
    const auto refresh = std::chrono::duration<double>(1.0 / hz);
    for (std::size_t i = 1; i < log.at.size(); ++i) {
        EXPECT_GE(std::chrono::duration<double>(log.at[i] - log.at[i - 1]).count(),
                  0.75 * refresh.count() - 0.001)
            << "paints " << i - 1 << " and " << i;
    }
}

TEST_F(WindowPaint, TheLastFramesLampsReachTheScreenWhenTheShowStops) {
    PaintLog log(lamp());
    // Two frames back to back: the second's repaint is held for the next refresh. A slow
    // moment can make even the second one due; then try again.
    bool held = false;
    for (int attempt = 0; attempt < 5 && !held; ++attempt) {
        QTest::qWait(100);
        setLevel(Links, 4, 60);
        runFrame();
        QCoreApplication::processEvents();
        const std::uint32_t lit = lamp()->lampColour();
        ASSERT_NE(lit, 0u);
        ASSERT_EQ(log.shown, lit) << "a change after a quiet spell is painted at once";
        const std::size_t paints = log.at.size();

        silence();
        runFrame();
        QCoreApplication::processEvents();
        ASSERT_EQ(lamp()->lampColour(), 0u);
        held = log.at.size() == paints;
    }
    ASSERT_TRUE(held) << "the second frame's repaint was never held";

    // No frame follows; the held repaint still reaches the screen.
    EXPECT_TRUE(QTest::qWaitFor([&] { return log.shown == 0u; }, 500));
}

}  // namespace
}  // namespace kf::test
