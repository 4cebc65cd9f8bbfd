// Whole-factor window scaling for high-density displays.
#include "platform/scale.h"

#include <gtest/gtest.h>

namespace {

using lvx::client_size;
using lvx::desktop_scale;
using lvx::fitting_scale;

TEST(DisplayScale, GdkScaleFirstThenXftDpiRoundedDownElseOne) {
    EXPECT_EQ(desktop_scale(nullptr, nullptr), 1);
    EXPECT_EQ(desktop_scale("2", nullptr), 2);
    EXPECT_EQ(desktop_scale("1", "Xft.dpi:\t192\n"), 1);  // GDK_SCALE wins
    EXPECT_EQ(desktop_scale("3", nullptr), 3);
    // Not a whole number from 1 to 8: Xft.dpi decides.
    for (const char *bad : {"", "0", "1.5", "2x", "-2", "9", "abc"}) {
        EXPECT_EQ(desktop_scale(bad, nullptr), 1) << bad;
        EXPECT_EQ(desktop_scale(bad, "Xft.dpi:\t192\n"), 2) << bad;
    }
    EXPECT_EQ(desktop_scale(nullptr, "Xft.antialias:\t1\nXft.dpi:\t192\nXft.hinting:\t1\n"), 2);
    EXPECT_EQ(desktop_scale(nullptr, "Xft.dpi: 288"), 3);
    EXPECT_EQ(desktop_scale(nullptr, "Xft.dpi:\t144\n"), 1);  // 1.5: no whole factor above 1
    EXPECT_EQ(desktop_scale(nullptr, "Xft.dpi:\t96\n"), 1);
    EXPECT_EQ(desktop_scale(nullptr, "Xft.dpi:\t72\n"), 1);
    EXPECT_EQ(desktop_scale(nullptr, "Xft.dpix:\t192\nXcursor.size:\t48\n"), 1);
    EXPECT_EQ(desktop_scale(nullptr, ""), 1);
    // Figures beyond any int: the largest factor when finite, else none.
    EXPECT_EQ(desktop_scale(nullptr, "Xft.dpi: 1e300"), 8);
    for (const char *bad : {"Xft.dpi: inf", "Xft.dpi: -inf", "Xft.dpi: nan"})
        EXPECT_EQ(desktop_scale(nullptr, bad), 1) << bad;
}

TEST(DisplayScale, TheFactorShrinksUntilTheWindowFits) {
    // The starting window, 360 x 382, and a grown one, 640 x 562.
    EXPECT_EQ(fitting_scale(2, 360, 382, 3840, 2160), 2);
    EXPECT_EQ(fitting_scale(2, 640, 562, 1280, 1124), 2);  // exactly fits
    EXPECT_EQ(fitting_scale(2, 640, 562, 1279, 2000), 1);
    EXPECT_EQ(fitting_scale(3, 640, 562, 1920, 1200), 2);
    EXPECT_EQ(fitting_scale(2, 640, 562, 0, 0), 2);  // screen size unknown
    EXPECT_EQ(fitting_scale(0, 360, 382, 3840, 2160), 1);
    EXPECT_EQ(fitting_scale(1, 5000, 5000, 800, 600), 1);
}

TEST(DisplayScale, TheProgramSeesWholeBlocksOfTheSystemWindow) {
    EXPECT_EQ(client_size(720, 2), 360);
    EXPECT_EQ(client_size(764, 2), 382);
    EXPECT_EQ(client_size(765, 2), 382);  // a partial block is not used
    EXPECT_EQ(client_size(1, 2), 0);
    // At scale 1 every size is kept as it is.
    for (int size : {0, 1, 359, 360, 765}) EXPECT_EQ(client_size(size, 1), size);
}

}  // namespace
