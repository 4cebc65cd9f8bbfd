// Row kernels of each instruction-set level against the portable ones on
// the same rows: the inputs the filters' tests rarely reach (states far out
// of range, rows of every length around the vector widths, magnitudes on
// both sides of the bound in every pattern).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/dispatch.h"
#include "kernels/exact.h"

namespace {

std::vector<simd_level> vector_levels() {
    std::vector<simd_level> out;
    for (simd_level s : {simd_level::avx2, simd_level::avx512})
        if (static_cast<int>(s) <= static_cast<int>(simd_supported())) out.push_back(s);
    return out;
}

// A state value: in range, on and next to whole numbers, below 1 (where the
// sum needs more than a double's bits), tiny, negative, -0, above 255,
// infinite.
float any_state(std::mt19937 &g) {
    std::uniform_real_distribution<float> in_range(0.0f, 255.0f), small(0.0f, 1.0f);
    const float whole = float(g() % 256);
    switch (g() % 12) {
        case 0:
            return whole;
        case 1:
            return std::nextafter(whole, 0.0f);
        case 2:
            return std::nextafter(whole, 256.0f);
        case 3:
            return small(g);
        case 4:
            return std::ldexp(small(g), -int(g() % 140));  // down to subnormals
        case 5:
            return -in_range(g);
        case 6:
            return g() % 2 ? -0.0f : 0.0f;
        case 7:
            return 255.0f + in_range(g);
        case 8:
            return std::nextafter(255.0f, 256.0f);
        case 9:
            return g() % 2 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
        default:
            return in_range(g);
    }
}

}  // namespace

TEST(RowKernels, RcMatchesThePortableUpdateForAnyState) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(7);
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (size_t n : {0, 1, 7, 8, 15, 16, 17, 31, 32, 33, 47, 48, 49, 64, 100, 1000}) {
            for (int round = 0; round < 20; ++round) {
                SCOPED_TRACE(std::string(simd_name(level)) + ", " + std::to_string(n) + " pixels");
                std::vector<color_type> src(n + 1);
                for (auto &p : src) p = color_type{uint8_t(g()), uint8_t(g()), uint8_t(g())};
                std::vector<float> state(3 * n + 3);
                for (float &s : state) s = any_state(g);
                std::vector<float> state_fast = state;
                std::vector<color_type> ref(n + 1), fast(n + 1);
                for (size_t i = 0; i <= n; ++i) ref[i] = fast[i] = color_type{uint8_t(g()), 1, 2};
                portable.rc(src.data(), state.data(), ref.data(), n);
                k.rc(src.data(), state_fast.data(), fast.data(), n);
                ASSERT_EQ(std::memcmp(state.data(), state_fast.data(), state.size() * sizeof(float)), 0);
                ASSERT_EQ(std::memcmp(ref.data(), fast.data(), ref.size() * sizeof(color_type)), 0);
                // In place: the destination is the source.
                std::vector<color_type> in_ref = src, in_fast = src;
                portable.rc(in_ref.data(), state.data(), in_ref.data(), n);
                k.rc(in_fast.data(), state_fast.data(), in_fast.data(), n);
                ASSERT_EQ(std::memcmp(in_ref.data(), in_fast.data(), in_ref.size() * sizeof(color_type)), 0);
                ASSERT_EQ(std::memcmp(state.data(), state_fast.data(), state.size() * sizeof(float)), 0);
            }
        }
    }
}

TEST(RowKernels, SuppressionMatchesThePortableRowsAroundTheBound) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(11);
    const size_t stride = 70;
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (size_t n : {16, 17, 30, 33, 48, 68}) {
            for (int64_t bound : {int64_t(-1), int64_t(0), int64_t(42), int64_t(300), int64_t(0xFFFFFFF0)}) {
                for (int round = 0; round < 30; ++round) {
                    SCOPED_TRACE(std::string(simd_name(level)) + ", " + std::to_string(n) +
                                 " pixels, bound " + std::to_string(bound));
                    // Three rows of magnitudes; runs of weak pixels (at or
                    // below the bound) of random lengths, so that whole
                    // blocks of 16 are weak or have one strong pixel.
                    std::vector<uint32_t> mag(3 * stride);
                    std::vector<int32_t> ratio(3 * stride);
                    const uint32_t weak = bound < 0 ? 0 : uint32_t(bound);
                    for (size_t i = 0; i < mag.size(); ++i) {
                        const unsigned int kind = g() % 8;
                        mag[i] = kind < 5 ? weak - (weak > 0 ? g() % 2 : 0)
                                          : (kind < 7 ? weak + 1 + g() % 50 : uint32_t(g()));
                        // Steep, diagonal either way, or flat; some exactly at a bound.
                        const kernels::canny_bounds &b = kernels::suppression_bounds();
                        const int64_t edges[] = {b.steep_above, b.steep_below, b.diagonal_above,
                                                 b.diagonal_below};
                        switch (g() % 4) {
                            case 0:
                                ratio[i] = int32_t(g());
                                break;
                            case 1:
                                ratio[i] = int32_t(edges[g() % 4] + int64_t(g() % 3) - 1);
                                break;
                            default:
                                ratio[i] = int32_t(int64_t(g() % 400001) - 200000);
                                break;
                        }
                    }
                    if (round % 3 == 0)  // a single strong pixel in the middle row
                        mag[stride + 1 + g() % n] = weak + 1 + (g() % 2 ? 0 : g() % 100);
                    std::vector<color_type> save(n), ref(n), fast(n);
                    for (auto &p : save) p = color_type{uint8_t(g()), uint8_t(g()), uint8_t(g())};
                    for (size_t i = 0; i < n; ++i) ref[i] = fast[i] = color_type{uint8_t(g()), 3, 4};
                    portable.suppress(mag.data() + stride + 1, ratio.data() + stride + 1, stride, n, bound,
                                      save.data(), ref.data());
                    k.suppress(mag.data() + stride + 1, ratio.data() + stride + 1, stride, n, bound,
                               save.data(), fast.data());
                    ASSERT_EQ(std::memcmp(ref.data(), fast.data(), n * sizeof(color_type)), 0);
                }
            }
        }
    }
}

TEST(RowKernels, GradientsMatchThePortableRowsIncludingWholeQuotients) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(5);
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (size_t n : {8, 9, 15, 16, 17, 40, 203}) {
            for (int round = 0; round < 200; ++round) {
                SCOPED_TRACE(std::string(simd_name(level)) + ", " + std::to_string(n) + " pixels, round " +
                             std::to_string(round));
                // Lengths of few distinct sums (many equal neighbours: gx or
                // gy 0, |gy| = |gx|, |gy| = 2 |gx|, ...), of any sum, or tiny
                // differences between large lengths (quotients that saturate).
                std::vector<double> rows[3];
                const unsigned int kind = round % 4;
                for (auto &r : rows) {
                    r.resize(n + 2);
                    for (double &v : r) {
                        switch (kind) {
                            case 0:
                                v = std::sqrt(double(g() % 4));
                                break;
                            case 1:
                                v = std::sqrt(double(g() % 195076));
                                break;
                            case 2:
                                v = std::sqrt(double(1000 + g() % 3)) * double(1 + g() % 2);
                                break;
                            default:
                                v = 300.0 + std::ldexp(double(g() % 3), -40);
                                break;
                        }
                    }
                }
                std::vector<uint32_t> mag(n), mag_fast(n);
                std::vector<int32_t> ratio(n), ratio_fast(n);
                portable.gradient(rows[0].data() + 1, rows[1].data() + 1, rows[2].data() + 1, mag.data(),
                                  ratio.data(), n);
                k.gradient(rows[0].data() + 1, rows[1].data() + 1, rows[2].data() + 1, mag_fast.data(),
                           ratio_fast.data(), n);
                ASSERT_EQ(mag, mag_fast);
                ASSERT_EQ(ratio, ratio_fast);
            }
        }
    }
}

TEST(RowKernels, ScaledRowsMatchThePortableProductsForAnyScale) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(3);
    const double scales[] = {1.0 / 3.0, 1.0,    0.1,   -1.0 / 3.0, 0.0, -0.0,
                             1e-310,    3e-320, 1e300, 1.7e308,    2.5, -7.25};
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (double scale : scales)
            for (size_t n : {1, 15, 16, 17, 33, 70}) {
                SCOPED_TRACE(std::string(simd_name(level)) + ", scale " + std::to_string(scale));
                std::vector<uint8_t> src(n);
                for (size_t i = 0; i < n; ++i) src[i] = i % 5 == 0 ? 0 : (i % 7 == 0 ? 255 : uint8_t(g()));
                std::vector<double> ref(n), fast(n);
                portable.scale(src.data(), ref.data(), n, scale);
                k.scale(src.data(), fast.data(), n, scale);
                ASSERT_EQ(std::memcmp(ref.data(), fast.data(), n * sizeof(double)), 0);
            }
    }
}

TEST(RowKernels, GaussianRowsMatchThePortableRowsForEveryRangeLength) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(9);
    const size_t width = 1200;  // channels; outputs in [6, width - 6)
    std::vector<uint8_t> rows[5];
    for (auto &r : rows) {
        r.resize(width);
        for (auto &v : r) v = g() % 3 == 0 ? 255 : uint8_t(g());
    }
    const uint8_t *const r[5] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(),
                                 rows[4].data()};
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (size_t len : {1, 31, 32, 33, 63, 64, 65, 100, 511, 512, 513, 575, 576, 577, 1000, 1188}) {
            const size_t begin = 6 + g() % (width - 12 - len + 1);
            SCOPED_TRACE(std::string(simd_name(level)) + ", " + std::to_string(len) + " channels from " +
                         std::to_string(begin));
            std::vector<uint8_t> ref(width, 7), fast(width, 7);
            portable.gauss5(r, ref.data(), begin, begin + len, 0);
            k.gauss5(r, fast.data(), begin, begin + len, 0);
            ASSERT_EQ(ref, fast);
        }
    }
}

TEST(RowKernels, LengthsAndThirdsMatchThePortableRows) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(13);
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (size_t n : {1, 7, 8, 15, 16, 17, 31, 32, 33, 100, 1000}) {
            SCOPED_TRACE(std::string(simd_name(level)) + ", " + std::to_string(n) + " pixels");
            std::vector<color_type> src(n);
            for (size_t i = 0; i < n; ++i)
                src[i] = i % 4 == 0 ? color_type{255, 255, 255}
                                    : color_type{uint8_t(g()), uint8_t(g() % 3 ? g() : 0), uint8_t(g())};
            std::vector<double> ref(n + 1, 0.5), fast(n + 1, 0.5);
            portable.length(src.data(), ref.data(), n);
            k.length(src.data(), fast.data(), n);
            ASSERT_EQ(std::memcmp(ref.data(), fast.data(), ref.size() * sizeof(double)), 0);
            portable.third_length(src.data(), ref.data(), n);
            k.third_length(src.data(), fast.data(), n);
            ASSERT_EQ(std::memcmp(ref.data(), fast.data(), ref.size() * sizeof(double)), 0);
        }
    }
}

// Erode marks depend on the mark to the left: long runs where every pixel's
// horizontal test holds (marks alternate along them) across the vector
// blocks, sparse marks from the rows above and below and from camera reds.
TEST(RowKernels, ErodeMatchesThePortableRowsAcrossLongAlternatingRuns) {
    const auto levels = vector_levels();
    if (levels.empty()) GTEST_SKIP() << "no vector level on this processor";
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    std::mt19937 g(17);
    auto classes = [&](size_t n, bool runs) {
        std::vector<uint8_t> c(n + 2);
        for (size_t i = 0; i < c.size();) {
            const size_t len = 1 + g() % (runs && g() % 2 ? 150 : 4);
            const uint8_t v = runs ? (g() % 2 ? 3 : uint8_t(g() % 4)) : (g() % 8 ? 0 : uint8_t(g() % 4));
            for (size_t k = 0; k < len && i < c.size(); ++k, ++i) c[i] = v;
        }
        return c;
    };
    auto pixels = [&](size_t n, unsigned int red_one_in) {
        std::vector<color_type> p(n + 1);
        for (auto &c : p)
            c = color_type{uint8_t(g()), uint8_t(g()), uint8_t(g() % red_one_in ? g() % 255 : 255)};
        return p;
    };
    for (simd_level level : levels) {
        const kernels::row_kernels &k = kernels::kernels_for(level);
        for (size_t n : {1, 15, 16, 17, 63, 64, 65, 127, 128, 130, 200, 700}) {
            for (int trial = 0; trial < 40; ++trial) {
                SCOPED_TRACE(std::string(simd_name(level)) + ", " + std::to_string(n) + " pixels, trial " +
                             std::to_string(trial));
                const auto cp = classes(n, false), cc = classes(n, true), cn = classes(n, false);
                const auto up = pixels(n, 3), save = pixels(n, trial % 2 ? 20 : 1000);
                std::vector<color_type> ref(n), fast(n);
                unsigned int left_ref = g() % 2, left_fast = left_ref;
                portable.erode(cp.data() + 1, cc.data() + 1, cn.data() + 1, up.data() + 1, save.data() + 1,
                               ref.data(), n, &left_ref);
                k.erode(cp.data() + 1, cc.data() + 1, cn.data() + 1, up.data() + 1, save.data() + 1,
                        fast.data(), n, &left_fast);
                ASSERT_EQ(std::memcmp(ref.data(), fast.data(), n * sizeof(color_type)), 0);
                ASSERT_EQ(left_ref, left_fast);
            }
        }
    }
}
