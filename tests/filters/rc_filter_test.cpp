// The RC temporal filter.
#include "filters/rc_filter.h"

#include <gtest/gtest.h>

#include "common/buffer.h"
#include "filters/frame_support.h"

namespace {

struct RcFilter : ::testing::Test {
    Frames fs;
    void TearDown() override { buffer_alloc_should_fail = nullptr; }
    // Feeds `frames` copies of a constant frame; returns the last output pixel (1, 1).
    color_type feed(Frame &src, Frame &dst, int frames) {
        for (int i = 0; i < frames; ++i) rc_filter(fs, src.data(), dst.data());
        return dst.at(1, 1);
    }
};

}  // namespace

TEST_F(RcFilter, WithoutStateTheFramePassesThrough) {
    Frame &src = fs.frame(4, 3);
    src.fill([](unsigned int x, unsigned int y) { return rgb(x * 60, y * 90, 33); });
    Frame &dst = fs.frame(4, 3);
    rc_filter(fs, src.data(), dst.data());
    EXPECT_TRUE(dst.same_as(src));

    buffer_alloc_should_fail = [](size_t) { return true; };
    EXPECT_STREQ(rc_filter_start(fs), "Unable to create image_state buffer");
    EXPECT_EQ(fs.image_state, nullptr);
    Frame &dst2 = fs.frame(4, 3);
    rc_filter(fs, src.data(), dst2.data());
    EXPECT_TRUE(dst2.same_as(src));

    rc_filter_stop(fs);
    rc_filter_stop(fs);
    EXPECT_EQ(fs.image_state, nullptr);
}

TEST_F(RcFilter, FadesInFromBlackWithSinglePrecisionWeights) {
    Frame &src = fs.frame(3, 3, rgb(100, 255, 1));
    Frame &dst = fs.frame(3, 3);
    EXPECT_EQ(rc_filter_start(fs), nullptr);
    ASSERT_NE(fs.image_state, nullptr);
    rc_filter(fs, src.data(), dst.data());
    // 100 * 0.01f = 0.99999998 rounds to the float 1.0; 255 * 0.01f = 2.55;
    // 1 * 0.01f = 0.01. Every pixel, borders included.
    for (size_t i = 0; i < dst.count(); ++i) ASSERT_EQ(dst.pixels[i], rgb(1, 2, 0)) << i;
    // Running values are stored r, g, b per pixel, rounded to float.
    EXPECT_EQ(fs.image_state[0], static_cast<float>(100 * static_cast<double>(0.01f)));
    EXPECT_EQ(fs.image_state[1], static_cast<float>(255 * static_cast<double>(0.01f)));
    EXPECT_EQ(fs.image_state[2], static_cast<float>(1 * static_cast<double>(0.01f)));
}

TEST_F(RcFilter, SettlesOneBelowFromDarkAndAtTheInputFromBright) {
    Frame &dst = fs.frame(3, 3);
    rc_filter_start(fs);
    Frame &two_hundred = fs.frame(3, 3, grey(200));
    EXPECT_EQ(feed(two_hundred, dst, 3000), grey(199));
    EXPECT_EQ(feed(two_hundred, dst, 3000), grey(199));

    Frame &white = fs.frame(3, 3, grey(255));
    feed(white, dst, 3000);
    EXPECT_EQ(feed(two_hundred, dst, 3000), grey(200));
}

TEST_F(RcFilter, WhiteToBlackReachesZeroOnThe552ndFrame) {
    Frame &dst = fs.frame(3, 3);
    rc_filter_start(fs);
    Frame &white = fs.frame(3, 3, grey(255));
    EXPECT_EQ(feed(white, dst, 3000), grey(254));  // settles just below 255
    Frame &black = fs.frame(3, 3, grey(0));
    EXPECT_EQ(feed(black, dst, 551), grey(1));
    EXPECT_EQ(feed(black, dst, 1), grey(0));
}

TEST_F(RcFilter, ArithmeticIsDoubleOverSinglePrecisionWeights) {
    // Frames where the exact arithmetic matters (from a step-by-step model
    // of the update): with double weights 0.99/0.01 the first would show 85,
    // with all-float arithmetic the second would show 168.
    Frame &dst = fs.frame(3, 3);
    rc_filter_start(fs);
    Frame &ninety_nine = fs.frame(3, 3, grey(99));
    EXPECT_EQ(feed(ninety_nine, dst, 202), grey(86));
    rc_filter_start(fs);
    Frame &one_ninety_nine = fs.frame(3, 3, grey(199));
    EXPECT_EQ(feed(one_ninety_nine, dst, 185), grey(167));
    // About one time constant: 180 * (1 - 0.99^100) = 114.1.
    rc_filter_start(fs);
    Frame &src = fs.frame(3, 3, grey(180));
    EXPECT_EQ(feed(src, dst, 100), grey(114));
}

TEST_F(RcFilter, RestartDropsTheOldState) {
    Frame &dst = fs.frame(3, 3);
    rc_filter_start(fs);
    Frame &src = fs.frame(3, 3, grey(250));
    feed(src, dst, 500);
    rc_filter_start(fs);
    EXPECT_EQ(feed(src, dst, 1), grey(2));
}
