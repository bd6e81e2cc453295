// The window on a real X server (Xvfb): it maps with its caption, and while a tone plays the
// bar pictures show bars in the green-to-red colours of the spectrum palette.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "audio/PulseTestSupport.h"
#include "e2e/ProgramTest.h"
#include "support/Require.h"
#include "support/Xvfb.h"
#include "testkit/LampTones.h"
#include "testkit/SignalPlayer.h"

namespace kfe2e {
namespace {

using kftest::Ear;
using kftest::kLamp3;
using kftest::lampTone;
using kftest::SignalPlayer;

constexpr const char* kCaption = "Sound to Light for iCP12 / Arduino Nano / K8055";

using kftest::Xvfb;

struct Image {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

// Reads a binary PPM (P6, maxval 255).
std::optional<Image> readPpm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxval = 0;
    Image image;
    in >> magic >> image.width >> image.height >> maxval;
    if (magic != "P6" || maxval != 255 || image.width <= 0 || image.height <= 0) {
        return std::nullopt;
    }
    in.get();
    image.rgb.resize(static_cast<std::size_t>(image.width) * image.height * 3);
    in.read(reinterpret_cast<char*>(image.rgb.data()),
            static_cast<std::streamsize>(image.rgb.size()));
    if (!in) {
        return std::nullopt;
    }
    return image;
}

// Bar pixels: palette entry i (1..127) is red 2i, green 256 - 2i, blue 0. Nothing else on
// the window has exactly these colours (the lamps are pure green and pure red).
struct Bars {
    std::size_t pixels = 0;
    std::set<int> shades;  // palette entries seen
};

Bars barPixels(const Image& image) {
    Bars bars;
    for (std::size_t i = 0; i + 2 < image.rgb.size(); i += 3) {
        const int r = image.rgb[i];
        const int g = image.rgb[i + 1];
        const int b = image.rgb[i + 2];
        if (b == 0 && r >= 2 && r % 2 == 0 && r + g == 256) {
            ++bars.pixels;
            bars.shades.insert(r / 2);
        }
    }
    return bars;
}

std::optional<Image> screenshot(const std::string& display, const std::string& path) {
    const auto r =
        runCommand("import -display " + display + " -window root -depth 8 ppm:" + path + " 2>&1");
    if (r.status != 0) {
        ADD_FAILURE() << "import: " << r.out;
        return std::nullopt;
    }
    return readPpm(path);
}

class Display : public Program {};

TEST_F(Display, WindowMapsWithItsCaptionAndShowsBarsWhileAToneSounds) {
    KF_REQUIRE(kftest::onPath("xwininfo") && kftest::onPath("import"),
               "xwininfo (x11-utils) and import (imagemagick)");
    KF_REQUIRE(kftest::serverAnswers(),
               "a PulseAudio server answering (" + kftest::pulseServerDescription() + ")");
    Xvfb x;
    KF_REQUIRE(x.ready(), "a display: Xvfb (package xvfb) did not start");
    start({}, {{"DISPLAY", x.display()}, {"QT_QPA_PLATFORM", std::nullopt}});

    // The window maps with its caption.
    std::string tree;
    bool mapped = false;
    const auto deadline = Clock::now() + 15s;
    while (!mapped && Clock::now() < deadline) {
        tree = runCommand("xwininfo -display " + x.display() + " -root -tree 2>&1").out;
        if (tree.find(kCaption) != std::string::npos) {
            const auto info =
                runCommand("xwininfo -display " + x.display() + " -name '" + kCaption + "' 2>&1");
            mapped = info.out.find("Map State: IsViewable") != std::string::npos;
        }
        if (!mapped) {
            std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_TRUE(mapped) << tree;
    EXPECT_EQ(run_->output().find("offscreen"), std::string::npos) << "not on the X server";

    char tmpl[] = "/tmp/kf-e2e-shot.XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    // In silence no bar is drawn (wait past the start of the recording first).
    std::this_thread::sleep_for(2500ms);
    const auto quiet = screenshot(x.display(), dir + "/quiet.ppm");
    ASSERT_TRUE(quiet.has_value());
    EXPECT_EQ(barPixels(*quiet).pixels, 0u);

    // 301 Hz at 0.5 on both sides: band 4 about 73 rows high in each picture.
    SignalPlayer tone(lampTone(kLamp3, Ear::Both, 0.5f));
    ASSERT_TRUE(tone.waitStarted());
    Bars bars;
    const auto until = Clock::now() + 8s;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(500ms);
        const auto shot = screenshot(x.display(), dir + "/tone.ppm");
        ASSERT_TRUE(shot.has_value());
        bars = barPixels(*shot);
        if (bars.pixels >= 2 * 18 * 40) {
            break;
        }
    }
    // Two bars (one per side) of 18 pixels width, each at least 40 rows high. A bar's rows
    // run through the palette without a gap, from green at the bottom towards red at its
    // top (the picture box cuts off the lowest rows of the 127-row picture).
    EXPECT_GE(bars.pixels, 2u * 18 * 40);
    ASSERT_FALSE(bars.shades.empty());
    const int lowest = *bars.shades.begin();
    const int highest = *bars.shades.rbegin();
    EXPECT_EQ(static_cast<int>(bars.shades.size()), highest - lowest + 1)
        << "shades " << lowest << " to " << highest;
    EXPECT_GE(highest - lowest, 40);
    EXPECT_LE(lowest, 20);
    std::system(("rm -rf '" + dir + "'").c_str());

    tone.stop();
    terminate();
}

}  // namespace
}  // namespace kfe2e
