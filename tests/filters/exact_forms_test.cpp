// The integer forms that the fast filter paths put in place of floating-point
// decisions, checked against the double arithmetic of the reference filters
// over their whole input ranges (or dense samples where the range is all
// doubles).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <random>

#include "kernels/dispatch.h"
#include "kernels/exact.h"

namespace {

double length_of(uint32_t q) { return std::sqrt(static_cast<double>(q)); }

// Thresholds across the keyboard's range 0 .. 511, exact square roots among them.
std::vector<double> thresholds() {
    std::vector<double> t = {0.0, 0.5, 1.0, 41.9, 42.0, 44.2, 100.0, 260.0, 441.0, 441.6729559300637, 441.68, 511.0};
    std::mt19937 g(7);
    for (int i = 0; i < 20; ++i) t.push_back(std::uniform_real_distribution<double>(0.0, 511.0)(g));
    for (int i = 0; i < 20; ++i) t.push_back(length_of(std::uniform_int_distribution<uint32_t>(0, kernels::max_square_sum)(g)));
    return t;
}

}  // namespace

TEST(ExactForms, LengthBoundsMatchTheDoubleComparisonForEverySum) {
    for (double t : thresholds()) {
        SCOPED_TRACE(t);
        const uint32_t above = kernels::first_sum_above(t), not_below = kernels::first_sum_not_below(t);
        for (uint32_t q = 0; q <= kernels::max_square_sum; ++q) {
            ASSERT_EQ(q >= above, length_of(q) > t) << q;
            ASSERT_EQ(q < not_below, length_of(q) < t) << q;
        }
    }
    // Outside the range: everything, or nothing, passes.
    EXPECT_EQ(kernels::first_sum_above(-1.0), 0u);
    EXPECT_EQ(kernels::first_sum_above(500.0), kernels::max_square_sum + 1);
    EXPECT_EQ(kernels::first_sum_above(std::nan("")), kernels::max_square_sum + 1);
    EXPECT_EQ(kernels::first_sum_not_below(std::nan("")), 0u);
    // A length exactly at the threshold is neither above nor below it.
    EXPECT_EQ(kernels::first_sum_above(260.0), 67601u);
    EXPECT_EQ(kernels::first_sum_not_below(260.0), 67600u);
}

TEST(ExactForms, GaussianQuotientIsTheIntegerQuotientForEverySum) {
    ASSERT_TRUE(kernels::gauss_quotient_exact());
    const double factor = 1.0 / 159.0;
    for (uint32_t s = 0; s <= kernels::gauss_max_sum; ++s) {
        const uint32_t by_double = static_cast<uint32_t>(factor * s + 0.0);
        ASSERT_EQ(by_double, s / 159) << s;
        ASSERT_EQ((s * 52759u) >> 23, s / 159) << s;  // the AVX2 rows' multiply-shift
    }
}

TEST(ExactForms, TrackingChangeAndGreenForEverySum) {
    EXPECT_EQ(kernels::tracking_min_sum(), 1954u);
    for (uint32_t dq = 0; dq <= kernels::max_square_sum; ++dq) {
        double d = std::sqrt(static_cast<double>(dq));
        if (d < 44.2) d = 0.0;
        const unsigned int m = static_cast<unsigned int>(d);
        // The AVX2 rows take a float root of the integer sum.
        const unsigned int by_float =
            dq >= kernels::tracking_min_sum() ? static_cast<unsigned int>(std::sqrt(static_cast<float>(dq))) : 0;
        ASSERT_EQ(by_float, m) << dq;
    }
    for (uint32_t m = 0; m <= 441; ++m) ASSERT_EQ(kernels::tracking_green(m), 255 * m / 442) << m;
}

TEST(ExactForms, SuppressionBoundsMatchTheDoubleTests) {
    const kernels::canny_bounds &b = kernels::suppression_bounds();
    const double scale = 1.0 / 65536.0;
    std::vector<int64_t> ratios = {0, 1, -1, INT32_MAX, INT32_MIN};
    for (int64_t c : {b.steep_above, b.steep_below, b.diagonal_above, b.diagonal_below})
        for (int64_t d = -3; d <= 3; ++d) ratios.push_back(c + d);
    for (int64_t r64 : ratios) {
        const int32_t r = static_cast<int32_t>(r64);
        const double q = r * scale;
        EXPECT_EQ(r > b.steep_above || r < b.steep_below, q > 2.1943 || q < -2.1943) << r;
        EXPECT_EQ(r > b.diagonal_above, q > 0.4142) << r;
        EXPECT_EQ(r < b.diagonal_below, q < -0.4142) << r;
    }
    const std::vector<uint32_t> mags = {0, 1, 41, 42, 43, 259, 260, 261, 4000, 0xFFFFFFFEu, 0xFFFFFFFFu};
    for (double t : {-5.0, -0.5, 0.0, 0.5, 41.999, 42.0, 42.5, 260.0, 4294967294.5, 4294967295.0, 1e12,
                     std::nan(""), std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()}) {
        const int64_t bound = kernels::magnitude_bound(t);
        for (uint32_t m : mags) EXPECT_EQ(static_cast<int64_t>(m) > bound, static_cast<double>(m) > t) << m << " " << t;
    }
}

// The table must agree with the reference arithmetic wherever it decides;
// it is probed densely around every step between levels, where a wrong
// bucket would show first, and at random elsewhere.
TEST(ExactForms, DirectionTableAgreesWithTheReferenceArithmetic) {
    auto check = [](double r) {
        const unsigned char table = kernels::direction_table()[kernels::direction_index(r)];
        if (table != 255) {
            ASSERT_EQ(table, kernels::direction_level_reference(r)) << r;
        }
        ASSERT_EQ(kernels::direction_level_of(r), kernels::direction_level_reference(r)) << r;
    };
    // Steps: where the level changes, located by bisection on r.
    int steps = 0;
    for (int j = 1; j <= 254; ++j) {
        double lo = -70000.0, hi = 70000.0;
        for (int i = 0; i < 200 && lo < hi; ++i) {
            const double mid = lo + (hi - lo) / 2;
            if (mid == lo || mid == hi) break;
            (kernels::direction_level_reference(mid) >= j ? hi : lo) = mid;
        }
        ++steps;
        double r = hi;
        for (int k = 0; k < 64; ++k) r = std::nextafter(r, -1e300);
        for (int k = 0; k < 128; ++k, r = std::nextafter(r, 1e300)) check(r);
        for (double f : {1e-12, 1e-9, 1e-7, 1e-6, 1e-4, 1e-3})
            for (double s : {-1.0, 1.0}) check(hi * (1.0 + s * f));
    }
    EXPECT_EQ(steps, 254);
    std::mt19937_64 g(11);
    std::uniform_real_distribution<double> e(-20.0, 20.0);
    for (int i = 0; i < 300000; ++i) {
        const double r = std::exp2(e(g));
        check(r);
        check(-r);
    }
    for (double r : {0.0, -0.0, 1e-300, -1e-300, 65535.9, 65536.0, 1e20, -1e20, 1e300,
                     std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::denorm_min()})
        check(r);
    // Nearly every bucket decides on its own.
    size_t undecided = 0;
    for (int i = 0; i < 2 * (kernels::direction_buckets + 2); ++i) undecided += kernels::direction_table()[i] == 255;
    EXPECT_LT(undecided, 600u);
}

// The AVX2 rows divide the colour lengths by 3 without a division only where
// a check over every length passed on first use; with AVX2 it must have passed
// (otherwise those rows would be slower, not wrong: the frame comparisons in
// fast_paths_test cover the bytes).
TEST(ExactForms, DivisionFreeThirdHoldsForEveryLength) {
#if LUMIVEX_HAVE_AVX2_ROWS
    if (simd_supported() == simd_level::portable) GTEST_SKIP() << "no AVX2 on this processor";
    EXPECT_TRUE(kernels::avx2::third_exact());
#else
    GTEST_SKIP() << "no AVX2 rows in this build";
#endif
}

// The float estimate of the combo level that the vector rows trust when it
// is at least direction_margin from a whole level: over quotients of every
// size and sign its error stays far below that margin (the whole-domain
// bound, tools/direction_margin.cpp, is a tenth of it).
TEST(ExactForms, DirectionEstimateErrorIsFarBelowItsMargin) {
    std::mt19937_64 g(5);
    std::uniform_real_distribution<double> e(-30.0, 30.0), m(0.25, 2000.0);
    double worst = 0;
    auto check = [&](double gx, double gy) {
        const double exact = (std::atan(gy / gx) + 1.5707963267948966) / 3.141592653589793 * 255;
        const double estimate = kernels::direction_estimate(static_cast<float>(gx), static_cast<float>(gy));
        worst = std::max(worst, std::fabs(estimate - exact));
    };
    for (int i = 0; i < 2000000; ++i) {
        const double gx = (g() % 2 ? 1 : -1) * m(g), gy = (g() % 2 ? 1 : -1) * gx * std::exp2(e(g));
        check(gx, gy);
    }
    for (double gy = -3000; gy <= 3000; gy += 0.37) check(1.0, gy);
    for (double gx : {1e-13, -2e-14, 1e-3, 1.0, 441.0})
        for (double gy : {0.0, -0.0, 1e-13, 1.0, -441.0, 1500.0}) check(gx, gy);
    EXPECT_LT(worst, kernels::direction_margin / 10) << "largest error " << worst;
    std::printf("direction estimate: largest error %.3g of a level\n", worst);
}
