// The Canny edge detector: buffers, gradients, suppression chain, whole filter.
#include "filters/canny.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "common/buffer.h"
#include "filters/frame_support.h"
#include "filters/kernel_tables.h"

namespace {

const color_type kRed = rgb(255, 0, 0);

struct Canny : ::testing::Test {
    Frames fs;
    void TearDown() override { buffer_alloc_should_fail = nullptr; }
    // Index of pixel (x, y) in the current geometry.
    unsigned int idx(unsigned int x, unsigned int y) const { return y * fs.size_x + x; }
    // Sets the 3 x 3 magnitudes around the centre of a 3 x 3 geometry, row by row.
    void set_mags(std::initializer_list<uint32_t> m) {
        unsigned int i = 0;
        for (uint32_t v : m) fs.grad_mag[i++] = v;
    }
};

// Ratio values on either side of the quantisation limits.
const int32_t kSteep = 143806;       // 2.194305 > 2.1943
const int32_t kNotSteep = 143805;    // 2.194290
const int32_t kDiagonal = 27146;     // 0.414215 > 0.4142
const int32_t kNotDiagonal = 27145;  // 0.414199

}  // namespace

TEST_F(Canny, StartFailuresAreReportedAndLeaveTheBufferEmpty) {
    fs.resize(8, 6);
    buffer_alloc_should_fail = [](size_t) { return true; };
    EXPECT_STREQ(canny_start(fs), "Unable to create grad_mag buffer");
    EXPECT_EQ(fs.grad_mag, nullptr);
    EXPECT_EQ(fs.grad_ratio, nullptr);

    // grad_mag succeeds, grad_ratio fails.
    static int calls;
    calls = 0;
    buffer_alloc_should_fail = [](size_t) { return ++calls == 2; };
    EXPECT_STREQ(canny_start(fs), "Unable to create grad_ratio buffer");
    EXPECT_NE(fs.grad_mag, nullptr);
    EXPECT_EQ(fs.grad_ratio, nullptr);
    EXPECT_FALSE(canny_buffers_ready(fs));

    // Without grad_ratio the frame passes through, the source not smoothed.
    buffer_alloc_should_fail = nullptr;
    Frame &src = fs.frame(8, 6);
    src.fill([](unsigned int x, unsigned int y) { return rgb(x * 30, y * 40, 7); });
    Frame &keep = fs.frame(8, 6);
    keep.copy_from(src);
    fs.save(8, 6, grey(3));
    Frame &dst = fs.frame(8, 6);
    canny_edge(fs, src.data(), dst.data(), 42.0, 260.0, 128.0);
    EXPECT_TRUE(src.same_as(keep));
    EXPECT_TRUE(dst.same_as(keep));

    canny_stop(fs);
    canny_stop(fs);
    EXPECT_EQ(fs.grad_mag, nullptr);
    EXPECT_EQ(fs.grad_ratio, nullptr);
}

TEST_F(Canny, BuffersStartZeroed) {
    fs.resize(7, 5);
    EXPECT_EQ(canny_start(fs), nullptr);
    ASSERT_NE(fs.grad_mag, nullptr);
    ASSERT_NE(fs.grad_ratio, nullptr);
    for (unsigned int i = 0; i < 35; ++i) {
        EXPECT_EQ(fs.grad_mag[i], 0u);
        EXPECT_EQ(fs.grad_ratio[i], 0);
    }
}

TEST_F(Canny, GradientsOfTheColourLength) {
    struct Case {
        int ax, ay;  // red = 100 + ax * x + ay * y, so the length is exact
        uint32_t mag;
        int32_t ratio;
    };
    const Case cases[] = {
        {1, 0, 8, 0},         // gx 8, gy 0
        {0, 3, 24, 0},        // gx 0: ratio 0 however large gy is
        {-2, 1, 24, -32768},  // gx -16, gy 8: sign of gx
        {2, -1, 24, 32768},   // gx 16, gy -8: sign of gy dropped
        {3, 1, 32, 21845},    // 8 * 65536 / 24 = 21845.33
        {-3, 1, 32, -21845},  // truncated toward zero, not down
    };
    for (const Case &c : cases) {
        Frame &img = fs.frame(5, 4);
        img.fill(
            [&](unsigned int x, unsigned int y) { return rgb(100 + c.ax * int(x) + c.ay * int(y), 0, 0); });
        canny_start(fs);
        calulate_gradients(fs, img.data());
        for (unsigned int y = 0; y < 4; ++y) {
            for (unsigned int x = 0; x < 5; ++x) {
                bool interior = x >= 1 && x <= 3 && y >= 1 && y <= 2;
                ASSERT_EQ(fs.grad_mag[idx(x, y)], interior ? c.mag : 0u)
                    << c.ax << "," << c.ay << " " << x << "," << y;
                ASSERT_EQ(fs.grad_ratio[idx(x, y)], interior ? c.ratio : 0) << c.ax << "," << c.ay;
            }
        }
    }
    // Grey levels rising by 1 per column: gx = 8 * sqrt(3) = 13.86, truncated.
    Frame &img = fs.frame(3, 3);
    img.fill([](unsigned int x, unsigned int) { return grey(50 + x); });
    canny_start(fs);
    calulate_gradients(fs, img.data());
    EXPECT_EQ(fs.grad_mag[4], 13u);
}

TEST_F(Canny, RatioTooLargeForSixteenSixteenSaturatesWithTheSignOfGx) {
    // The left and right columns mirror each other, so gx is only the
    // rounding residue of the sum (-2.2e-16 with 4 in the middle row,
    // +6.7e-16 with 7), while gy is about 510.
    for (int middle : {4, 7}) {
        Frame &img = fs.frame(3, 3);
        img.at(0, 0) = rgb(1, 0, 0);
        img.at(1, 0) = rgb(0, 0, 0);
        img.at(2, 0) = rgb(1, 1, 0);
        img.at(0, 1) = rgb(middle, 0, 0);
        img.at(1, 1) = rgb(0, 0, 0);
        img.at(2, 1) = rgb(middle, 0, 0);
        img.at(0, 2) = rgb(1, 1, 0);
        img.at(1, 2) = rgb(255, 0, 0);
        img.at(2, 2) = rgb(1, 0, 0);
        canny_start(fs);
        calulate_gradients(fs, img.data());
        EXPECT_EQ(fs.grad_ratio[4], middle == 4 ? INT32_MIN : INT32_MAX);
        EXPECT_EQ(fs.grad_mag[4], 510u);
    }
}

TEST_F(Canny, SuppressionChain) {
    fs.resize(3, 3);
    canny_start(fs);
    const unsigned int c = 4;
    // Magnitudes around the centre (10), rows bottom to top in memory order.
    struct Case {
        const char *what;
        int32_t ratio;
        std::initializer_list<uint32_t> mags;
        unsigned char want;
    };
    const Case cases[] = {
        {"steep max vs rows", kSteep, {20, 9, 20, 20, 10, 20, 20, 9, 20}, 200},
        {"steep equal to one row neighbour", kSteep, {20, 10, 20, 20, 10, 20, 20, 9, 20}, 0},
        {"steep fails, diagonal pair of step 3 skipped", kSteep, {20, 20, 9, 20, 10, 20, 9, 20, 20}, 0},
        {"steep fails, left/right max", kSteep, {20, 20, 20, 9, 10, 9, 20, 20, 20}, 200},
        {"negative steep fails, step 4", -kSteep, {9, 20, 20, 20, 10, 20, 20, 20, 9}, 200},
        {"just below steep: diagonal step 3", kNotSteep, {20, 20, 9, 20, 10, 20, 9, 20, 20}, 200},
        {"just below steep: rows do not count", kNotSteep, {20, 9, 20, 20, 10, 20, 20, 9, 20}, 0},
        {"diagonal limit is strict", kNotDiagonal, {20, 20, 9, 20, 10, 20, 9, 20, 20}, 0},
        {"just above the diagonal limit", kDiagonal, {20, 20, 9, 20, 10, 20, 9, 20, 20}, 200},
        {"negative diagonal pair", -kDiagonal, {9, 20, 20, 20, 10, 20, 20, 20, 9}, 200},
        {"negative ratio ignores the positive pair", -kDiagonal, {20, 20, 9, 20, 10, 20, 9, 20, 20}, 0},
        {"ratio 0: left and right only", 0, {9, 9, 9, 9, 10, 9, 9, 9, 9}, 200},
        {"ratio 0: equal on the right", 0, {9, 9, 9, 9, 10, 10, 9, 9, 9}, 0},
        {"saturated positive ratio is steep", INT32_MAX, {20, 9, 20, 20, 10, 20, 20, 9, 20}, 200},
        {"saturated negative ratio falls to step 4", INT32_MIN, {9, 20, 20, 20, 10, 20, 20, 20, 9}, 200},
    };
    for (const Case &k : cases) {
        set_mags(k.mags);
        fs.grad_ratio[c] = k.ratio;
        EXPECT_EQ(non_maximal(fs, c, 200), k.want) << k.what;
    }
    set_mags({0, 0, 0, 0, 10, 0, 0, 0, 0});
    fs.grad_ratio[c] = 0;
    EXPECT_EQ(non_maximal(fs, c, 300), 255);
    EXPECT_EQ(non_maximal(fs, c, 0), 0);
    EXPECT_EQ(non_maximal(fs, 0, 200), 0);  // border index: no neighbours to compare
    EXPECT_EQ(non_maximal(fs, 8, 200), 0);
    EXPECT_EQ(non_maximal(fs, 1000, 200), 0);
}

TEST_F(Canny, OutputFrameAndSmoothedSource) {
    const unsigned int w = 14, h = 12;
    Frame &save = fs.save(w, h);
    save.fill([](unsigned int x, unsigned int y) { return rgb(x * 9, y * 13, 200); });
    Frame &src = fs.frame(w, h, grey(140));
    Frame &dst = fs.frame(w, h);
    canny_start(fs);
    canny_edge(fs, src.data(), dst.data(), 42.0, 260.0, 128.0);
    for (unsigned int y = 0; y < h; ++y) {
        for (unsigned int x = 0; x < w; ++x) {
            bool edge_of_frame = x == 0 || y == 0 || x == w - 1 || y == h - 1;
            bool inner = x >= 3 && y >= 3 && x <= w - 4 && y <= h - 4;
            if (edge_of_frame) {
                EXPECT_EQ(dst.at(x, y), grey(0)) << x << "," << y;
            }
            if (inner) {
                EXPECT_EQ(dst.at(x, y), save.at(x, y)) << x << "," << y;
            }
        }
    }

    // A textured input: the source ends as the 5 x 5 smoothing left it, with
    // the rows the smoothing does not write taken from the old destination.
    Frame &tex = fs.frame(w, h);
    tex.fill([](unsigned int x, unsigned int y) {
        return rgb((x * 37 + y * 11) % 256, (x * y * 7) % 256, y * 20);
    });
    Frame &expect = fs.frame(w, h);
    expect.copy_from(dst);
    transform_frame(fs, tex.data(), expect.data(), gauss_blur, 5, gauss_factor, 0.0);
    Frame &src2 = fs.frame(w, h);
    src2.copy_from(tex);
    canny_edge(fs, src2.data(), dst.data(), 42.0, 260.0, 128.0);
    EXPECT_TRUE(src2.same_as(expect));
    for (unsigned int x = 0; x < w; ++x) EXPECT_EQ(dst.at(x, 0), grey(0));

    // The fourth and fifth arguments change nothing.
    Frame &src3 = fs.frame(w, h);
    Frame &dst3 = fs.frame(w, h);
    Frame &src4 = fs.frame(w, h);
    Frame &dst4 = fs.frame(w, h);
    src3.copy_from(tex);
    src4.copy_from(tex);
    canny_edge(fs, src3.data(), dst3.data(), 42.0, 260.0, 128.0);
    canny_edge(fs, src4.data(), dst4.data(), 42.0, -7.0, 1e9);
    EXPECT_TRUE(dst3.same_as(dst4));
}

TEST_F(Canny, MagnitudeEqualToTheThresholdIsNoEdge) {
    const unsigned int w = 16, h = 12;
    Frame &save = fs.save(w, h, grey(60));
    Frame &step = fs.frame(w, h);
    // A step with one intermediate column, so that one column has the
    // largest gradient (a symmetric step ties two columns).
    step.fill([](unsigned int x, unsigned int) { return rgb(x < 7 ? 20 : x == 7 ? 160 : 220, 0, 0); });
    canny_start(fs);
    // Each run starts from the same source and destination (the rows that
    // the smoothing leaves come from the old destination).
    auto run = [&](double threshold) {
        Frame src(w, h), dst(w, h, grey(0));
        src.copy_from(step);
        canny_edge(fs, src.data(), dst.data(), threshold, 0, 0);
        return dst;
    };

    const unsigned int ey = h / 2;
    Frame first = run(42.0);
    unsigned int ex = 0;
    for (unsigned int x = 1; x + 1 < w && !ex; ++x)
        if (first.at(x, ey) == kRed) ex = x;
    ASSERT_NE(ex, 0u);
    const double m = fs.grad_mag[idx(ex, ey)];
    ASSERT_GT(m, 42.0);

    EXPECT_EQ(run(m).at(ex, ey), save.at(ex, ey));
    EXPECT_EQ(run(m - 0.5).at(ex, ey), kRed);
}

TEST_F(Canny, BuffersOfAnotherGeometryAreNotUsed) {
    fs.resize(6, 6);
    canny_start(fs);
    Frame &big = fs.frame(9, 8, grey(80));  // geometry grows without a new canny_start
    fs.save(9, 8, grey(1));
    Frame &dst = fs.frame(9, 8);
    canny_edge(fs, big.data(), dst.data(), 42.0, 0, 0);
    EXPECT_TRUE(dst.same_as(big));
    calulate_gradients(fs, big.data());  // must not write past the 6 x 6 buffers
    EXPECT_EQ(non_maximal(fs, idx(4, 4), 200), 0);
}
