// target_frame and draw_box.
#include <gtest/gtest.h>

#include "filters/frame_support.h"

namespace {

const color_type kRed = rgb(255, 0, 0);

struct Tracking : ::testing::Test {
    Frames fs;
};

// The crosshair sets green to 255 along a whole column and row; the red
// square is drawn over it.
bool is_marked_column(Frame &f, unsigned int cx) {
    for (unsigned int y = 0; y < f.h; ++y)
        if (f.at(cx, y).g != 255 && f.at(cx, y) != kRed) return false;
    return true;
}
bool is_marked_row(Frame &f, unsigned int cy) {
    for (unsigned int x = 0; x < f.w; ++x)
        if (f.at(x, cy).g != 255 && f.at(x, cy) != kRed) return false;
    return true;
}

}  // namespace

TEST_F(Tracking, IdenticalFramesPassThroughUnmarked) {
    Frame &src = fs.frame(20, 15);
    src.fill([](unsigned int x, unsigned int y) { return rgb(x * 10, y * 15, 99); });
    Frame &last = fs.last(20, 15);
    last.copy_from(src);
    Frame &dst = fs.frame(20, 15);
    target_frame(fs, src.data(), dst.data(), false);
    EXPECT_TRUE(dst.same_as(src));

    target_frame(fs, src.data(), dst.data(), true);
    for (size_t i = 0; i < dst.count(); ++i) ASSERT_EQ(dst.pixels[i], grey(0));
}

TEST_F(Tracking, ChangeThresholdAndDifferencePicture) {
    Frame &last = fs.last(4, 1, grey(0));
    Frame &src = fs.frame(4, 1);
    src.at(0, 0) = rgb(44, 4, 1);       // sum of squares 1953: no change
    src.at(1, 0) = rgb(44, 3, 3);       // 1954: m = 44
    src.at(2, 0) = rgb(255, 255, 255);  // m = 441
    src.at(3, 0) = rgb(0, 0, 0);
    Frame &dst = fs.frame(4, 1);
    target_frame(fs, src.data(), dst.data(), true);
    EXPECT_EQ(dst.at(0, 0), rgb(0, 0, 0));
    EXPECT_EQ(dst.at(1, 0), rgb(0, 25, 0));
    EXPECT_EQ(dst.at(2, 0), rgb(0, 254, 0));
    EXPECT_EQ(dst.at(3, 0), rgb(0, 0, 0));
    EXPECT_TRUE(last.same_as(src));  // the input is remembered, not the picture
}

TEST_F(Tracking, DrawsOnlyAboveTenThousand) {
    // 100 pixels changed by exactly 100 give W = 10000: nothing drawn.
    // Changing one of them by 101 gives 10001: marks at the centre.
    for (int last_change : {100, 101}) {
        fs.last(40, 30, grey(0));
        Frame &src = fs.frame(40, 30, grey(0));
        for (unsigned int y = 10; y < 20; ++y)
            for (unsigned int x = 15; x < 25; ++x) src.at(x, y) = rgb(0, 100, 0);
        src.at(24, 19) = rgb(0, last_change, 0);
        Frame &dst = fs.frame(40, 30);
        target_frame(fs, src.data(), dst.data(), false);
        if (last_change == 100) {
            EXPECT_TRUE(dst.same_as(src));
        } else {
            // SX = 100 * 19.5 * 100 + 24 = 195024 -> 19; SY likewise -> 14.
            EXPECT_TRUE(is_marked_column(dst, 19));
            EXPECT_TRUE(is_marked_row(dst, 14));
            EXPECT_EQ(dst.at(14, 9), kRed);
            EXPECT_EQ(dst.at(23, 18), kRed);
            EXPECT_EQ(dst.at(24, 18), rgb(0, 100, 0));
        }
    }
}

TEST_F(Tracking, CrosshairAndSquareAtTheCentreOfChange) {
    const unsigned int w = 160, h = 120;
    Frame &last = fs.last(w, h, grey(30));
    Frame &src = fs.frame(w, h, grey(30));
    for (unsigned int y = 75; y <= 85; ++y)
        for (unsigned int x = 95; x <= 105; ++x) src.at(x, y) = grey(230);
    Frame &dst = fs.frame(w, h);
    target_frame(fs, src.data(), dst.data(), false);
    for (unsigned int y = 0; y < h; ++y) {
        for (unsigned int x = 0; x < w; ++x) {
            color_type want = src.at(x, y);
            if (x == 100 || y == 80) want.g = 255;
            if (x >= 95 && x <= 104 && y >= 75 && y <= 84) want = kRed;
            ASSERT_EQ(dst.at(x, y), want) << x << "," << y;
        }
    }
    EXPECT_TRUE(last.same_as(src));

    // The next identical frame shows no target: the reference is the last input.
    Frame &again = fs.frame(w, h);
    target_frame(fs, src.data(), again.data(), false);
    EXPECT_TRUE(again.same_as(src));
}

TEST_F(Tracking, SquareDroppedNearLowEdgesAndCutNearHighEdges) {
    const unsigned int w = 30, h = 25;
    {
        // Change in columns 0..6 of row 10: centre x = 3 < 5, so no square.
        fs.last(w, h, grey(0));
        Frame &src = fs.frame(w, h, grey(0));
        for (unsigned int x = 0; x <= 6; ++x)
            for (unsigned int y = 8; y <= 12; ++y) src.at(x, y) = grey(255);
        Frame &dst = fs.frame(w, h);
        target_frame(fs, src.data(), dst.data(), false);
        EXPECT_TRUE(is_marked_column(dst, 3));
        EXPECT_TRUE(is_marked_row(dst, 10));
        for (size_t i = 0; i < dst.count(); ++i) ASSERT_NE(dst.pixels[i], kRed);
    }
    {
        // Centre at (27, 22): the square is cut at column w-2 and row h-2.
        fs.last(w, h, grey(0));
        Frame &src = fs.frame(w, h, grey(0));
        for (unsigned int x = 25; x <= 29; ++x)
            for (unsigned int y = 20; y <= 24; ++y) src.at(x, y) = grey(255);
        Frame &dst = fs.frame(w, h);
        target_frame(fs, src.data(), dst.data(), false);
        for (unsigned int y = 0; y < h; ++y)
            for (unsigned int x = 0; x < w; ++x) {
                bool red = x >= 22 && x <= w - 2 && y >= 17 && y <= h - 2;
                ASSERT_EQ(dst.at(x, y) == kRed, red) << x << "," << y;
            }
    }
}

TEST_F(Tracking, MomentsDoNotOverflowOnLargeFrames) {
    // Every pixel black -> white on 320 x 240: the column moment is about
    // 5.4e9, past 32 bits. The centre is the middle of the frame.
    const unsigned int w = 320, h = 240;
    fs.last(w, h, grey(0));
    Frame &src = fs.frame(w, h, grey(255));
    Frame &dst = fs.frame(w, h);
    target_frame(fs, src.data(), dst.data(), false);
    EXPECT_TRUE(is_marked_column(dst, 159));
    EXPECT_TRUE(is_marked_row(dst, 119));
    EXPECT_EQ(dst.at(154, 114), kRed);
    EXPECT_EQ(dst.at(163, 123), kRed);
    EXPECT_EQ(dst.at(164, 123), grey(255));
}

TEST_F(Tracking, NullLastFrameDoesNothing) {
    Frame &src = fs.frame(8, 8, grey(255));
    Frame &dst = fs.frame(8, 8);
    fs.last_frame = nullptr;
    target_frame(fs, src.data(), dst.data(), false);
    for (size_t i = 0; i < dst.count(); ++i) ASSERT_EQ(dst.pixels[i], kSentinel);
}

TEST(DrawBox, ClampsToTheLastIndexAndExcludesUpperBounds) {
    Frames fs;
    Frame &f = fs.frame(6, 5, grey(0));
    draw_box(fs, 2, 1, 2, 4, f.data());
    draw_box(fs, 1, 3, 5, 3, f.data());
    for (size_t i = 0; i < f.count(); ++i) ASSERT_EQ(f.pixels[i], grey(0));
    draw_box(fs, 0, 0, 6, 5, f.data());
    for (unsigned int y = 0; y < 5; ++y)
        for (unsigned int x = 0; x < 6; ++x) EXPECT_EQ(f.at(x, y) == kRed, x < 5 && y < 4) << x << "," << y;

    Frame &g = fs.frame(6, 5, grey(0));
    draw_box(fs, 3, 2, 0xFFFFFFFFu, 0xFFFFFFF0u, g.data());
    for (unsigned int y = 0; y < 5; ++y)
        for (unsigned int x = 0; x < 6; ++x)
            EXPECT_EQ(g.at(x, y) == kRed, x >= 3 && x < 5 && y >= 2 && y < 4);
    draw_box(fs, 0xFFFFFFFBu, 0, 4, 4, g.data());  // a wrapped x1 clamps past x2: nothing
    EXPECT_EQ(g.at(0, 0), grey(0));
}
