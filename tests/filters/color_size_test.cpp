#include <gtest/gtest.h>

#include "filters/frame_support.h"

TEST(ColorSize, IntegerSquaresDoubleRoot) {
    EXPECT_EQ(color_size(grey(0)), 0.0);
    EXPECT_EQ(color_size(grey(255)), 441.6729559300637);
    EXPECT_EQ(color_size(rgb(42, 0, 0)), 42.0);
    EXPECT_EQ(color_size(rgb(0, 0, 3)), 3.0);
}
