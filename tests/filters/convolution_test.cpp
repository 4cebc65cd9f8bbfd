// The two kernel engines: transform_frame and general_filter_frame.
#include <gtest/gtest.h>

#include "filters/frame_support.h"
#include "filters/kernel_tables.h"

namespace {

const double one[1] = {1.0};

// Runs the Sobel stage as the chain does.
void sobel_of(const frame_set &f, Frame &src, Frame &dst) {
    general_filter_frame(f, src.data(), dst.data(), sobel_x, sobel_y, 3, 0.3333333333333333);
}

}  // namespace

TEST(TransformFrame, UniformFrameThroughGaussGivesEveryLevelBack) {
    Frames fs;
    for (int c = 0; c <= 255; ++c) {
        Frame &src = fs.frame(7, 6, rgb(c, 255 - c, c / 2));
        Frame &dst = fs.frame(7, 6);
        transform_frame(fs, src.data(), dst.data(), gauss_blur, 5, 0.006289308176100629, 0.0);
        for (unsigned int y = 2; y <= 3; ++y)
            for (unsigned int x = 2; x <= 4; ++x)
                ASSERT_EQ(dst.at(x, y), rgb(c, 255 - c, c / 2)) << "c=" << c;
    }
}

TEST(TransformFrame, ZeroSumKernelsCentreUniformFramesOnMidGrey) {
    Frames fs;
    Frame &src = fs.frame(9, 9, rgb(200, 13, 90));
    Frame &dst = fs.frame(9, 9);
    transform_frame(fs, src.data(), dst.data(), laplace5, 5, 1.0, 128.0);
    for (unsigned int y = 2; y <= 6; ++y)
        for (unsigned int x = 2; x <= 6; ++x) EXPECT_EQ(dst.at(x, y), grey(128));
    transform_frame(fs, src.data(), dst.data(), embossing, 3, 1.0, 128.0);
    for (unsigned int y = 1; y <= 7; ++y)
        for (unsigned int x = 1; x <= 7; ++x) EXPECT_EQ(dst.at(x, y), grey(128));
}

TEST(TransformFrame, BordersByWidth) {
    Frames fs;
    const unsigned int w = 8, h = 7;
    for (unsigned int n : {1u, 3u, 5u}) {
        Frame &src = fs.frame(w, h, grey(100));
        Frame &dst = fs.frame(w, h);
        const double *kernel = n == 5 ? gauss_blur : n == 3 ? sharpness : one;
        double factor = n == 5 ? 1.0 / 159.0 : 1.0;
        transform_frame(fs, src.data(), dst.data(), kernel, n, factor, 0.0);
        unsigned int half = (n - 1) / 2;
        for (unsigned int y = 0; y < h; ++y) {
            for (unsigned int x = 0; x < w; ++x) {
                color_type want;
                if (y < half || y >= h - half)
                    want = kSentinel;  // rows outside the window keep the old content
                else if (x < half || x >= w - half)
                    want = grey(0);
                else
                    want = grey(100);
                ASSERT_EQ(dst.at(x, y), want) << "N=" << n << " at " << x << "," << y;
            }
        }
    }
}

TEST(TransformFrame, KernelRowZeroIsTheLowerFrameRow) {
    Frames fs;
    // A single weight at kernel row 0, column 2 picks source(x + 1, y - 1).
    const double pick[9] = {0, 0, 1, 0, 0, 0, 0, 0, 0};
    Frame &src = fs.frame(5, 5);
    src.fill([](unsigned int x, unsigned int y) { return rgb(10 * x + y, 50 + x, 100 + y); });
    Frame &dst = fs.frame(5, 5);
    transform_frame(fs, src.data(), dst.data(), pick, 3, 1.0, 0.0);
    for (unsigned int y = 1; y <= 3; ++y)
        for (unsigned int x = 1; x <= 3; ++x) EXPECT_EQ(dst.at(x, y), src.at(x + 1, y - 1));
}

TEST(TransformFrame, TruncatesAndSaturatesAfterFactorThenOffset) {
    Frames fs;
    Frame &src = fs.frame(3, 3, rgb(127, 100, 0));
    Frame &dst = fs.frame(3, 3);
    // 127 + 0.9 = 127.9 gives 127, not 128; 0 + 0.9 stays 0.
    transform_frame(fs, src.data(), dst.data(), one, 1, 1.0, 0.9);
    EXPECT_EQ(dst.at(1, 1), rgb(127, 100, 0));
    // The offset is added after the factor: 100 * 0.5 + 10 = 60, not 55.
    transform_frame(fs, src.data(), dst.data(), one, 1, 0.5, 10.0);
    EXPECT_EQ(dst.at(1, 1), rgb(73, 60, 10));
    // Just below zero truncates to 0; large negatives and positives saturate.
    transform_frame(fs, src.data(), dst.data(), one, 1, 1.0, -0.5);
    EXPECT_EQ(dst.at(1, 1), rgb(126, 99, 0));
    transform_frame(fs, src.data(), dst.data(), one, 1, -1e300, 0.0);
    EXPECT_EQ(dst.at(1, 1), rgb(0, 0, 0));
    transform_frame(fs, src.data(), dst.data(), one, 1, 1e300, 255.5);
    EXPECT_EQ(dst.at(1, 1), rgb(255, 255, 255));
}

TEST(TransformFrame, SharpnessSaturatesBothWays) {
    Frames fs;
    Frame &src = fs.frame(3, 3, grey(200));
    src.at(1, 1) = rgb(10, 250, 201);  // dark, bright, barely brighter
    Frame &dst = fs.frame(3, 3);
    transform_frame(fs, src.data(), dst.data(), sharpness, 3, 1.0, 0.0);
    // 5*10 - 800 < 0; 5*250 - 800 = 450; 5*201 - 800 = 205.
    EXPECT_EQ(dst.at(1, 1), rgb(0, 255, 205));
}

TEST(TransformFrame, EvenWidthWritesNothing) {
    Frames fs;
    Frame &src = fs.frame(6, 6, grey(50));
    Frame &dst = fs.frame(6, 6);
    const double four[16] = {};
    transform_frame(fs, src.data(), dst.data(), four, 4, 1.0, 0.0);
    transform_frame(fs, src.data(), dst.data(), four, 0, 1.0, 0.0);
    for (size_t i = 0; i < dst.count(); ++i) ASSERT_EQ(dst.pixels[i], kSentinel);
}

TEST(GeneralFilterFrame, SobelOnRampsAndSteps) {
    Frames fs;
    {
        Frame &src = fs.frame(6, 5, grey(77));
        Frame &dst = fs.frame(6, 5);
        sobel_of(fs, src, dst);
        EXPECT_EQ(dst.at(2, 2), grey(0));
    }
    {
        // Rising by 1 per column: trunc(8/3) = 2, times 8.
        Frame &src = fs.frame(6, 5);
        src.fill([](unsigned int x, unsigned int) { return grey(20 + x); });
        Frame &dst = fs.frame(6, 5);
        sobel_of(fs, src, dst);
        for (unsigned int x = 1; x <= 4; ++x) EXPECT_EQ(dst.at(x, 2), grey(16));
    }
    {
        // Rising by 3 per column: each tap is scaled by the double 1/3 before
        // the sum, so some windows sum to just below 8 and give 56, not 64.
        Frame &src = fs.frame(10, 3);
        src.fill([](unsigned int x, unsigned int) { return grey(3 * x + 1); });
        Frame &dst = fs.frame(10, 3);
        sobel_of(fs, src, dst);
        const int want[10] = {0, 64, 56, 64, 64, 64, 64, 56, 56, 0};
        for (unsigned int x = 1; x <= 8; ++x) EXPECT_EQ(dst.at(x, 1).r, want[x]) << "x=" << x;
    }
    {
        // A vertical step 0 -> 255 gives 255 on the two columns beside it.
        Frame &src = fs.frame(8, 5);
        src.fill([](unsigned int x, unsigned int) { return x < 4 ? grey(0) : grey(255); });
        Frame &dst = fs.frame(8, 5);
        sobel_of(fs, src, dst);
        for (unsigned int x = 1; x <= 6; ++x)
            EXPECT_EQ(dst.at(x, 2), (x == 3 || x == 4) ? grey(255) : grey(0)) << "x=" << x;
    }
}

TEST(GeneralFilterFrame, ChannelsStayApartAndSaturateAt255) {
    Frames fs;
    // Red rises 1 per row (|Gy| = 8 -> 8 * trunc(8/3) = 16), green 4 per
    // column (|Gx| = 32 -> 8 * 10 = 80), blue 12 per column (96 -> 8 * 32 = 256 -> 255).
    Frame &src = fs.frame(5, 5);
    src.fill([](unsigned int x, unsigned int y) { return rgb(y, 4 * x, 12 * x); });
    Frame &dst = fs.frame(5, 5);
    sobel_of(fs, src, dst);
    EXPECT_EQ(dst.at(2, 2), rgb(16, 80, 255));
}

TEST(GeneralFilterFrame, LeavesTheOnePixelBorderWhateverTheWidth) {
    Frames fs;
    for (unsigned int width : {3u, 5u, 1u}) {
        Frame &src = fs.frame(7, 6, grey(90));
        Frame &dst = fs.frame(7, 6);
        general_filter_frame(fs, src.data(), dst.data(), sobel_x, sobel_y, width, 0.3333333333333333);
        for (unsigned int y = 0; y < 6; ++y)
            for (unsigned int x = 0; x < 7; ++x) {
                bool border = x == 0 || y == 0 || x == 6 || y == 5;
                ASSERT_EQ(dst.at(x, y), border ? kSentinel : grey(0)) << width << " " << x << "," << y;
            }
    }
}
