// The bar pictures and the on-screen lamps as a real X server shows them (an Xvfb of the
// test's own), for a fixed run of levels, compared pixel for pixel with screenshots kept in
// data/. Each scene follows the one before it, so a picture that only repaints what changed
// is checked against bars that grow, shrink, clip at the top and vanish.
//
// KF_PAINT_WRITE=DIR writes the screenshots to DIR instead of comparing them; the test then
// fails, so a run that only wrote never counts as a pass.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <array>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/FormStyle.h"
#include "app/PictureBox.h"
#include "support/FormFixture.h"
#include "support/Require.h"
#include "support/Xvfb.h"

namespace {

// The X server the whole binary paints on; started before the application exists, because
// the platform is chosen then.
kftest::Xvfb* xServer = nullptr;
bool onX = false;

bool startXvfb() {
    xServer = new kftest::Xvfb;
    if (!xServer->ready()) {
        return false;
    }
    ::setenv("DISPLAY", xServer->display().c_str(), 1);
    return true;
}

void stopXvfb() {
    delete xServer;
    xServer = nullptr;
}

}  // namespace

namespace kf::test {
namespace {

using Levels = std::array<int, 8>;  // bands 2..9

struct Scene {
    const char* name;
    int threshold;
    Levels left;
    Levels right;
    int frames;  // a second frame with the same levels lights the peak colour
};

// In order: each scene starts from the picture the one before left.
const Scene kScenes[] = {
    {"stairs", 60, {10, 25, 40, 55, 70, 85, 100, 127}, {127, 121, 100, 61, 60, 30, 5, 0}, 2},
    {"full",
     2,
     {127, 127, 127, 127, 127, 127, 127, 127},
     {127, 127, 127, 127, 127, 127, 127, 127},
     2},
    {"falling", 50, {64, 1, 113, 114, 112, 3, 2, 126}, {90, 0, 0, 40, 120, 121, 51, 50}, 1},
    {"rising", 50, {65, 2, 113, 120, 127, 64, 3, 126}, {91, 1, 14, 41, 126, 127, 60, 50}, 1},
    {"silence", 2, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, 1},
};

class Paint : public FormFixture {
  protected:
    void SetUp() override {
        makeForm();
        prepareRunning();
        fillSpectrumBitmapInfo(form->state().SpectrumBitmapInfo);
        form->Picture_NiveausLeft->setBitmapInfo(form->state().SpectrumBitmapInfo);
        form->Picture_NiveausRight->setBitmapInfo(form->state().SpectrumBitmapInfo);
        form->Check_Auto_Level->setChecked(false);
    }

    void settle() {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
            QTest::qWait(20);
        }
    }

    // Both channel blocks, the pictures with their lamps, as the X server holds them.
    QImage shot() {
        settle();
        const QRect blocks = form->Picture1->geometry().united(form->Picture2->geometry());
        return form->screen()
            ->grabWindow(form->winId(), blocks.x(), blocks.y(), blocks.width(), blocks.height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }

    // Compares with data/<name>.png, or writes it when asked to.
    void check(const QImage& image, const std::string& name) {
        const char* writeTo = std::getenv("KF_PAINT_WRITE");
        if (writeTo != nullptr && *writeTo != '\0') {
            const std::string path = std::string(writeTo) + "/" + name + ".png";
            ASSERT_TRUE(image.save(QString::fromStdString(path)));
            ADD_FAILURE() << "wrote " << path << " instead of comparing";
            return;
        }
        const std::string path = std::string(KF_PAINT_DATA) + "/" + name + ".png";
        QImage expected(QString::fromStdString(path));
        ASSERT_FALSE(expected.isNull()) << "no reference " << path;
        expected = expected.convertToFormat(QImage::Format_RGB32);
        ASSERT_EQ(image.size(), expected.size()) << name;
        int differing = 0;
        QPoint first(-1, -1);
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (image.pixel(x, y) != expected.pixel(x, y)) {
                    if (differing++ == 0) {
                        first = QPoint(x, y);
                    }
                }
            }
        }
        if (differing != 0) {
            const std::string actual = "/tmp/kf-paint-" + name + ".png";
            image.save(QString::fromStdString(actual));
            ADD_FAILURE() << name << ": " << differing << " pixels differ, the first at ("
                          << first.x() << ", " << first.y()
                          << "): " << QColor(image.pixel(first)).name().toStdString()
                          << " instead of " << QColor(expected.pixel(first)).name().toStdString()
                          << " (this run's picture: " << actual << ")";
        }
    }

    void setLevels(int side, const Levels& levels) {
        for (int band = 0; band < 8; ++band) {
            if (levels[static_cast<std::size_t>(band)] > 0) {
                setLevel(side, band + 2, levels[static_cast<std::size_t>(band)]);
            }
        }
    }
};

TEST_F(Paint, PicturesAndLampsLookAsBeforeOnAnXServer) {
    KF_REQUIRE(onX, "a display: Xvfb (package xvfb) did not start");
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    form->Picture_Main_Zoeken->hide();  // the search is over when frames run
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    check(shot(), "start");
    for (const Scene& scene : kScenes) {
        form->HScrollVolume->setValue(scene.threshold);
        silence();
        setLevels(Links, scene.left);
        setLevels(Rechts, scene.right);
        for (int i = 0; i < scene.frames; ++i) {
            frame();
        }
        check(shot(), scene.name);
    }
}

// The threshold's bar moves up to a hundred times a second with the automatic level and skips
// the repaints that would not change its pixels: whatever the steps, the screen shows what a
// full repaint of the bar would.
TEST_F(Paint, ThresholdBarOnScreenFollowsEveryStep) {
    KF_REQUIRE(onX, "a display: Xvfb (package xvfb) did not start");
    form->Picture_Main_Zoeken->hide();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QScrollBar* bar = form->HScrollVolume;
    std::vector<int> steps;
    for (int v = bar->minimum(); v <= bar->maximum(); ++v) {
        steps.push_back(v);  // one at a time up, as the automatic level moves
    }
    for (int v = bar->maximum(); v >= bar->minimum(); v -= 3) {
        steps.push_back(v);
    }
    for (int v : {2, 150, 75, 76, 2, 3, 149, 150}) {
        steps.push_back(v);  // jumps and both ends
    }
    int wrong = 0;
    for (int v : steps) {
        bar->setValue(v);
        const QRect at = bar->geometry();
        const QImage drawn = bar->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const auto onScreen = [&] {
            return form->screen()
                ->grabWindow(form->winId(), at.x(), at.y(), at.width(), at.height())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        };
        // The window paints at most once per screen refresh: a step's repaint may wait for it,
        // but a repaint skipped wrongly never comes.
        if (!QTest::qWaitFor([&] { return onScreen() == drawn; }, 500) && wrong++ < 5) {
            ADD_FAILURE() << "at value " << v << " the screen shows another bar";
        }
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace kf::test

int main(int argc, char** argv) {
    onX = startXvfb();
    if (onX) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");  // only to fail with a reason
    }
    int status = 0;
    {
        QApplication app(argc, argv);
        QApplication::setStyle(new kf::FormStyle);
        ::testing::InitGoogleTest(&argc, argv);
        status = RUN_ALL_TESTS();
    }
    stopXvfb();
    return status;
}
