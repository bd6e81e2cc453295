#include "audio/SpectrumPicture.h"

#include <gtest/gtest.h>

namespace {

using kf::SpectrumPixels;

int px(const SpectrumPixels& p, int x, int y) {
    return p[static_cast<std::size_t>(220 * y + x)];
}

SpectrumPixels empty() {
    SpectrumPixels p;
    kf::clearPixels(p);
    return p;
}

TEST(BitmapInfo, HeaderDescribesABottomUp8BitPicture) {
    kf::SpectrumBitmap info;
    kf::fillSpectrumBitmapInfo(info);
    EXPECT_EQ(info.bmiHeader.biSize, 40U);
    EXPECT_EQ(info.bmiHeader.biWidth, 220);
    EXPECT_EQ(info.bmiHeader.biHeight, 127);
    EXPECT_EQ(info.bmiHeader.biPlanes, 1);
    EXPECT_EQ(info.bmiHeader.biBitCount, 8);
    EXPECT_EQ(info.bmiHeader.biCompression, 0U);
    EXPECT_EQ(info.bmiHeader.biClrUsed, 256U);
    EXPECT_EQ(info.bmiHeader.biClrImportant, 256U);
}

TEST(BitmapInfo, PaletteRunsFromGreenToRed) {
    kf::SpectrumBitmap info;
    kf::fillSpectrumBitmapInfo(info);
    const auto& pal = info.SpectrumPalette;
    EXPECT_EQ(pal[0].rgbRed + pal[0].rgbGreen + pal[0].rgbBlue, 0);
    EXPECT_EQ(pal[1].rgbRed, 2);
    EXPECT_EQ(pal[1].rgbGreen, 254);
    EXPECT_EQ(pal[64].rgbRed, 128);
    EXPECT_EQ(pal[64].rgbGreen, 128);
    EXPECT_EQ(pal[127].rgbRed, 254);
    EXPECT_EQ(pal[127].rgbGreen, 2);
    for (int i = 1; i <= 127; ++i) {
        EXPECT_EQ(pal[static_cast<std::size_t>(i)].rgbBlue, 0);
        EXPECT_EQ(pal[static_cast<std::size_t>(i)].rgbReserved, 0);
    }
}

TEST(Bars, NothingForLevelsUpToZero) {
    SpectrumPixels p = empty();
    for (int n : {-4, -1, 0}) {
        kf::writeBar(p, 5, n);
    }
    EXPECT_EQ(p, empty());
}

TEST(Bars, LevelOneIsASingleGreenRowAtTheBottom) {
    SpectrumPixels p = empty();
    kf::writeBar(p, 2, 1);
    for (int x = 0; x < 18; ++x) {
        EXPECT_EQ(px(p, x, 0), 1);
        EXPECT_EQ(px(p, x, 1), 0);
    }
    EXPECT_EQ(px(p, 18, 0), 0);
}

TEST(Bars, FullLevelFillsEveryRowWithItsHeightColour) {
    SpectrumPixels p = empty();
    kf::writeBar(p, 9, 127);
    for (int y = 0; y < 127; ++y) {
        EXPECT_EQ(px(p, 139, y), 0);
        EXPECT_EQ(px(p, 140, y), y + 1);
        EXPECT_EQ(px(p, 157, y), y + 1);
        EXPECT_EQ(px(p, 158, y), 0);
    }
    // Nothing is written past the last row.
    for (std::size_t i = 27940; i < p.size(); ++i) {
        EXPECT_EQ(p[i], 0);
    }
}

TEST(Bars, RightColumnsStayBackgroundWhateverTheLevels) {
    SpectrumPixels p = empty();
    for (int band = 2; band <= 9; ++band) {
        kf::writeBar(p, band, 127);
    }
    for (int y = 0; y < 127; ++y) {
        for (int x = 158; x < 220; ++x) {
            ASSERT_EQ(px(p, x, y), 0) << x << "," << y;
        }
        for (int band = 2; band <= 9; ++band) {
            ASSERT_EQ(px(p, 20 * (band - 2) + 18, y), 0);  // the gap
            ASSERT_EQ(px(p, 20 * (band - 2) + 19, y), 0);
        }
    }
}

TEST(Bars, RowColourDependsOnHeightNotOnLevel) {
    SpectrumPixels a = empty();
    SpectrumPixels b = empty();
    kf::writeBar(a, 3, 10);
    kf::writeBar(b, 3, 100);
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(px(a, 25, y), px(b, 25, y));
    }
    EXPECT_EQ(px(a, 25, 10), 0);
    EXPECT_EQ(px(b, 25, 99), 100);
}

}  // namespace
