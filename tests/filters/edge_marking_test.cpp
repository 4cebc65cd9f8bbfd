// erode_frame, reduceedge_frame, combo_edgedetect_frame.
#include <gtest/gtest.h>

#include "filters/frame_support.h"

namespace {

const color_type kRed = rgb(255, 0, 0);

// A camera picture whose red byte is nowhere 255.
void fill_camera(Frame &f) {
    f.fill([](unsigned int x, unsigned int y) {
        return rgb((x * 13 + y * 7) % 200, x * 5 % 256, y * 11 % 256);
    });
}

// Source with colour length 200 left of column k, 50 from column k on.
void fill_step(Frame &f, unsigned int k) {
    f.fill([k](unsigned int x, unsigned int) { return x < k ? rgb(200, 0, 0) : rgb(50, 0, 0); });
}

}  // namespace

TEST(ErodeFrame, UniformSourceGivesTheCameraPicture) {
    Frames fs;
    Frame &save = fs.save(7, 6);
    fill_camera(save);
    Frame &src = fs.frame(7, 6, grey(120));
    Frame &dst = fs.frame(7, 6);
    erode_frame(fs, src.data(), dst.data(), 42.0);
    EXPECT_TRUE(dst.same_as(save));
}

TEST(ErodeFrame, MarksStayOnePixelThinInFrameOrder) {
    Frames fs;
    const unsigned int w = 9, h = 6, k = 4;
    Frame &save = fs.save(w, h);
    fill_camera(save);
    Frame &src = fs.frame(w, h);
    fill_step(src, k);
    Frame &dst = fs.frame(w, h);
    erode_frame(fs, src.data(), dst.data(), 100.0);
    for (unsigned int y = 0; y < h; ++y) {
        for (unsigned int x = 0; x < w; ++x) {
            bool marked = (x == k - 1 && y >= 1 && y <= h - 2) || (x == k && y == 1);
            ASSERT_EQ(dst.at(x, y), marked ? kRed : save.at(x, y)) << x << "," << y;
        }
    }
}

TEST(ErodeFrame, CameraRedOf255CountsAsAMark) {
    Frames fs;
    const unsigned int w = 9, h = 6, k = 4;
    Frame &save = fs.save(w, h);
    fill_camera(save);
    for (unsigned int y = 0; y < h; ++y) save.at(k - 2, y).r = 255;
    Frame &src = fs.frame(w, h);
    fill_step(src, k);
    Frame &dst = fs.frame(w, h);
    erode_frame(fs, src.data(), dst.data(), 100.0);
    // Column k-1 is blocked by the camera's red at k-2; column k is marked instead.
    for (unsigned int y = 1; y + 1 < h; ++y) {
        EXPECT_EQ(dst.at(k - 1, y), save.at(k - 1, y)) << y;
        EXPECT_EQ(dst.at(k, y), kRed) << y;
    }
}

TEST(ErodeFrame, NeighbourExactlyAtThresholdDoesNotMark) {
    Frames fs;
    Frame &save = fs.save(5, 5);
    fill_camera(save);
    Frame &src = fs.frame(5, 5, rgb(50, 0, 0));
    src.at(1, 2) = rgb(100, 0, 0);  // left of (2, 2): not above T = 100
    Frame &dst = fs.frame(5, 5);
    erode_frame(fs, src.data(), dst.data(), 100.0);
    EXPECT_TRUE(dst.same_as(save));

    src.fill([](unsigned int, unsigned int) { return rgb(200, 0, 0); });
    src.at(3, 2) = rgb(100, 0, 0);  // right of (2, 2): not below T
    src.at(3, 3) = rgb(100, 0, 0);  // below-right of (2, 2), right of (2, 3)
    src.at(2, 3) = rgb(100, 0, 0);  // below (2, 2)
    erode_frame(fs, src.data(), dst.data(), 100.0);
    EXPECT_TRUE(dst.same_as(save));
}

TEST(ReduceEdgeFrame, MarksTheFirstPixelAfterEachCrossing) {
    Frames fs;
    const int lengths[6] = {50, 150, 160, 90, 80, 120};
    Frame &src = fs.frame(6, 3);
    src.fill([&](unsigned int x, unsigned int) { return rgb(0, lengths[x], 0); });
    Frame &dst = fs.frame(6, 3);
    reduceedge_frame(fs, src.data(), dst.data(), 100.0);
    const bool white[6] = {false, true, false, true, false, true};
    for (unsigned int y = 0; y < 3; ++y)
        for (unsigned int x = 0; x < 6; ++x) EXPECT_EQ(dst.at(x, y), white[x] ? grey(255) : grey(0)) << x;
}

TEST(ReduceEdgeFrame, LengthAtThresholdNeverCrosses) {
    Frames fs;
    // 50, 100, 150: the middle pixel is exactly T; the reference stays 50,
    // so only 150 is marked; the passage through T is marked once.
    Frame &src = fs.frame(3, 2);
    src.fill([](unsigned int x, unsigned int) { return rgb(0, 0, 50 * (x + 1)); });
    Frame &dst = fs.frame(3, 2);
    reduceedge_frame(fs, src.data(), dst.data(), 100.0);
    EXPECT_EQ(dst.at(1, 0), grey(0));
    EXPECT_EQ(dst.at(2, 0), grey(255));

    Frame &flat = fs.frame(4, 4, rgb(0, 0, 100));
    Frame &out = fs.frame(4, 4);
    reduceedge_frame(fs, flat.data(), out.data(), 100.0);
    for (size_t i = 0; i < out.count(); ++i) EXPECT_EQ(out.pixels[i], grey(0));
}

TEST(ReduceEdgeFrame, ColumnPassAddsMarksAndKeepsRowMarks) {
    Frames fs;
    // Rows 0..1 dark, rows 2..3 bright; a bright pixel in row 0 column 2.
    Frame &src = fs.frame(4, 4);
    src.fill([](unsigned int, unsigned int y) { return y < 2 ? rgb(10, 0, 0) : rgb(200, 0, 0); });
    src.at(2, 0) = rgb(200, 0, 0);
    Frame &dst = fs.frame(4, 4);
    reduceedge_frame(fs, src.data(), dst.data(), 100.0);
    for (unsigned int y = 0; y < 4; ++y) {
        for (unsigned int x = 0; x < 4; ++x) {
            bool white = (y == 0 && (x == 2 || x == 3)) ||  // row pass: up at 2, down at 3
                         (y == 1 && x == 2) ||              // column 2: down from its bright start
                         y == 2;                            // every column: up at row 2
            EXPECT_EQ(dst.at(x, y), white ? grey(255) : grey(0)) << x << "," << y;
        }
    }
}

TEST(ComboEdgeDetectFrame, UniformFrameAndBorders) {
    Frames fs;
    Frame &src = fs.frame(8, 7, grey(100));
    Frame &dst = fs.frame(8, 7);
    combo_edgedetect_frame(fs, src.data(), dst.data(), 42.0);
    for (unsigned int y = 0; y < 7; ++y) {
        for (unsigned int x = 0; x < 8; ++x) {
            color_type want = (y < 2 || y > 4) ? kSentinel : grey(0);
            ASSERT_EQ(dst.at(x, y), want) << x << "," << y;
        }
    }
}

TEST(ComboEdgeDetectFrame, DirectionAsGreyLevel) {
    Frames fs;
    struct Case {
        int ax, ay;  // red = 3 * (ax * x + ay * y) + 60
        int want;
    };
    // Horizontal change only: 127; equal parts: 191; opposite: 63;
    // vertical change only: 0.
    const Case cases[] = {{1, 0, 127}, {-1, 0, 127}, {1, 1, 191}, {1, -1, 63},
                          {-1, 1, 63}, {0, 1, 0},    {0, -1, 0}};
    for (const Case &c : cases) {
        Frame &src = fs.frame(9, 9);
        src.fill([&](unsigned int x, unsigned int y) {
            return rgb(3 * (c.ax * int(x) + c.ay * int(y)) + 60, 0, 0);
        });
        Frame &dst = fs.frame(9, 9);
        combo_edgedetect_frame(fs, src.data(), dst.data(), 42.0);
        for (unsigned int y = 2; y <= 6; ++y)
            for (unsigned int x = 2; x <= 6; ++x)
                ASSERT_EQ(dst.at(x, y), grey(c.want)) << c.ax << "," << c.ay << " at " << x << "," << y;
    }
}

TEST(ComboEdgeDetectFrame, ThresholdHasNoEffect) {
    Frames fs;
    Frame &src = fs.frame(9, 8);
    src.fill([](unsigned int x, unsigned int y) {
        return rgb((x * x * 7 + y * 3) % 256, (x * y * 5) % 256, y * 20);
    });
    Frame &a = fs.frame(9, 8);
    Frame &b = fs.frame(9, 8);
    combo_edgedetect_frame(fs, src.data(), a.data(), 0.0);
    combo_edgedetect_frame(fs, src.data(), b.data(), 511.0);
    EXPECT_TRUE(a.same_as(b));
}

TEST(ComboEdgeDetectFrame, EachTermIsDividedByThreeBeforeTheSum) {
    Frames fs;
    // The left and right columns have equal weighted sums (1 + 2 + 3 each),
    // so the exact Gx is 0; dividing each term by 3.0 first leaves a residue
    // of +5.6e-17, and with Gy > 0 the direction is a quarter turn: 255.
    const int lengths[3][3] = {{1, 0, 3}, {1, 0, 1}, {3, 50, 1}};  // rows y - 1 .. y + 1
    Frame &src = fs.frame(5, 5, grey(0));
    for (unsigned int y = 0; y < 3; ++y)
        for (unsigned int x = 0; x < 3; ++x) src.at(x + 1, y + 1) = rgb(lengths[y][x], 0, 0);
    Frame &dst = fs.frame(5, 5);
    combo_edgedetect_frame(fs, src.data(), dst.data(), 42.0);
    EXPECT_EQ(dst.at(2, 2), grey(255));
}
