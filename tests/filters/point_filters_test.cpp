// edge_detect_frame, threshold_frame, average_frame.
#include <gtest/gtest.h>

#include "filters/frame_support.h"

TEST(EdgeDetectFrame, DifferencesTimesFiveSaturated) {
    Frames fs;
    Frame &src = fs.frame(6, 5, grey(100));
    src.at(1, 1) = rgb(110, 100, 100);  // 10 above its right and lower neighbours in red
    src.at(3, 1) = rgb(100, 130, 100);  // 30 in green, to the right and below
    src.at(1, 3) = rgb(100, 100, 49);   // 51 below in blue (against the right neighbour too)
    Frame &dst = fs.frame(6, 5);
    edge_detect_frame(fs, src.data(), dst.data());
    EXPECT_EQ(dst.at(2, 2), grey(0));
    EXPECT_EQ(dst.at(1, 1), rgb(100, 0, 0));  // 5 * (10 + 10)
    EXPECT_EQ(dst.at(0, 1), rgb(50, 0, 0));   // (1, 1) is its right neighbour
    EXPECT_EQ(dst.at(3, 1), rgb(0, 255, 0));  // 5 * 60 saturated
    EXPECT_EQ(dst.at(1, 3), rgb(0, 0, 255));  // 5 * (51 + 51) saturated
    EXPECT_EQ(dst.at(1, 2), rgb(0, 0, 255));  // 5 * 51 from below, exactly 255
    EXPECT_EQ(dst.at(0, 3), rgb(0, 0, 255));  // 5 * 51 from the right
}

TEST(EdgeDetectFrame, OneNeighbourOfTenGivesFifty) {
    Frames fs;
    Frame &src = fs.frame(5, 5, grey(40));
    src.at(3, 2) = rgb(40, 50, 40);
    Frame &dst = fs.frame(5, 5);
    edge_detect_frame(fs, src.data(), dst.data());
    EXPECT_EQ(dst.at(2, 2), rgb(0, 50, 0));  // only the right neighbour differs
    EXPECT_EQ(dst.at(3, 1), rgb(0, 50, 0));  // only the lower neighbour (row + 1) differs
}

TEST(EdgeDetectFrame, LastRowAndColumnNeverWritten) {
    Frames fs;
    Frame &src = fs.frame(5, 4, grey(0));
    src.fill([](unsigned int x, unsigned int y) { return grey((x * 37 + y * 91) % 256); });
    Frame &dst = fs.frame(5, 4);
    edge_detect_frame(fs, src.data(), dst.data());
    for (unsigned int y = 0; y < 4; ++y)
        for (unsigned int x = 0; x < 5; ++x)
            EXPECT_EQ(dst.at(x, y) == kSentinel, x == 4 || y == 3) << x << "," << y;

    Frame &row = fs.frame(6, 1, grey(9));
    Frame &out = fs.frame(6, 1);
    edge_detect_frame(fs, row.data(), out.data());
    for (size_t i = 0; i < out.count(); ++i) EXPECT_EQ(out.pixels[i], kSentinel);
}

TEST(ThresholdFrame, StrictlyAboveIsBlack) {
    Frames fs;
    Frame &src = fs.frame(4, 1);
    src.at(0, 0) = rgb(42, 0, 0);  // length exactly 42
    src.at(1, 0) = rgb(43, 0, 0);
    src.at(2, 0) = rgb(0, 30, 30);  // 42.43
    src.at(3, 0) = rgb(0, 0, 0);
    Frame &dst = fs.frame(4, 1);
    threshold_frame(fs, src.data(), dst.data(), 42.0);
    EXPECT_EQ(dst.at(0, 0), grey(255));
    EXPECT_EQ(dst.at(1, 0), grey(0));
    EXPECT_EQ(dst.at(2, 0), grey(0));
    EXPECT_EQ(dst.at(3, 0), grey(255));
    threshold_frame(fs, src.data(), dst.data(), 0.0);
    EXPECT_EQ(dst.at(3, 0), grey(255));
    EXPECT_EQ(dst.at(0, 0), grey(0));
}

TEST(AverageFrame, HalvesTheSumAndRemembersTheInput) {
    Frames fs;
    Frame &src = fs.frame(3, 2, rgb(255, 1, 7));
    Frame &last = fs.last(3, 2, rgb(0, 0, 8));
    Frame &dst = fs.frame(3, 2);
    average_frame(fs, src.data(), dst.data());
    for (size_t i = 0; i < dst.count(); ++i) {
        EXPECT_EQ(dst.pixels[i], rgb(127, 0, 7));
        EXPECT_EQ(last.pixels[i], src.pixels[i]);  // the input, not the output
    }
    // A second frame averages with the first input, not with the first output.
    Frame &next = fs.frame(3, 2, rgb(1, 3, 9));
    average_frame(fs, next.data(), dst.data());
    EXPECT_EQ(dst.at(2, 1), rgb(128, 2, 8));
}

TEST(AverageFrame, WithoutLastFrameWritesNothing) {
    Frames fs;
    Frame &src = fs.frame(3, 3, grey(9));
    Frame &dst = fs.frame(3, 3);
    fs.last_frame = nullptr;
    average_frame(fs, src.data(), dst.data());
    for (size_t i = 0; i < dst.count(); ++i) EXPECT_EQ(dst.pixels[i], kSentinel);
}
