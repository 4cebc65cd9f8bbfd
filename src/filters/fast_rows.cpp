// Exact integer forms of the filters' decisions, the direction table, and the
// portable row kernels. The portable rows do the same arithmetic as the
// reference filters, reorganised per row; the AVX2 rows (fast_rows_avx2.cpp)
// do the same arithmetic again, several lanes at a time.
#include "filters/fast_rows.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "filters/simd.h"

namespace fast {

// Integer forms of the pipeline's convolution tables, used by the portable
// rows and to recognise the tables a caller passes.
// clang-format off
const int gauss_weights[25] = {
    2, 4,  5,  4,  2,
    4, 9,  12, 9,  4,
    5, 12, 15, 12, 5,
    4, 9,  12, 9,  4,
    2, 4,  5,  4,  2,
};
const int laplace_weights[25] = {
    0, 0, 1,   0, 0,
    0, 1, 2,   1, 0,
    1, 2, -16, 2, 1,
    0, 1, 2,   1, 0,
    0, 0, 1,   0, 0,
};
const int sharpen_weights[9] = {0, -1, 0, -1, 5, -1, 0, -1, 0};
const int emboss_weights[9] = {2, 0, 0, 0, -1, 0, 0, 0, -1};
// clang-format on

namespace {

// Truncates toward zero, then saturates to 0..255 (NaN gives 0), as the
// reference filters do.
inline unsigned char truncate_to_byte(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 255.0) return 255;
    return static_cast<unsigned char>(static_cast<int>(v));
}

inline double length_of_sum(uint32_t q) { return std::sqrt(static_cast<double>(q)); }

inline uint32_t square_sum(const color_type &p) {
    return static_cast<uint32_t>(p.b * p.b + p.g * p.g + p.r * p.r);
}

// Smallest q in 0 .. max_square_sum for which pred holds, pred being
// monotone (false ... false true ... true); max_square_sum + 1 if none.
template <class P>
uint32_t first_sum(P pred) {
    uint32_t lo = 0, hi = max_square_sum + 1;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (pred(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// ---- Direction table -------------------------------------------------------
//
// The combo level is L(r) = trunc((atan(r) + pi/2) / pi * 255) for r = gy/gx.
// The exact function f(r) = (atan(r) + pi/2) / pi * 255 rises monotonically,
// and the double arithmetic (atan within an ulp or so, three roundings)
// stays within 1e-12 of it; so L(r) = floor(f(r)) wherever f(r) is further
// than that from an integer. The table splits r by its top bits into buckets
// (the sign, the exponent and the first 12 bits of the mantissa). A bucket is
// given a level only when no step of L, found by bisection with the reference
// arithmetic itself, lies within a relative 2^-20 of the bucket; there f(r)
// keeps at least 1e-9 away from every integer (f rises by that much over a
// relative 2^-20 for 2^-8 <= |r| <= 2^16), so the level is exact. Every
// other bucket holds 255 and the caller uses the reference arithmetic, as
// it does for |r| >= 2^16.

// Doubles in numeric order as 64-bit keys (-0 and +0 share key 0).
int64_t order_key(double x) {
    int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits >= 0 ? bits : -(bits & 0x7FFFFFFFFFFFFFFFll);
}

double from_key(int64_t key) {
    const int64_t bits = key >= 0 ? key : ((-key) | static_cast<int64_t>(0x8000000000000000ull));
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

double from_bits(uint64_t bits) {
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

const size_t direction_table_size =
    2 * (static_cast<size_t>(direction_buckets) + 2) + 3;  // +3: 4-byte gathers

struct direction_builder {
    unsigned char table[direction_table_size];

    direction_builder() {
        std::memset(table, 255, sizeof table);
        const double limit = std::ldexp(1.0, direction_max_exponent);
        const int64_t lo_key = order_key(-limit), hi_key = order_key(limit);
        const double infinity = std::numeric_limits<double>::infinity();

        // steps[j - 1]: smallest r in [-limit, limit] with level >= j.
        double steps[255];
        for (int j = 1; j <= 255; ++j) {
            if (direction_level_reference(-limit) >= j) {
                steps[j - 1] = -infinity;
                continue;
            }
            if (direction_level_reference(limit) < j) {
                steps[j - 1] = infinity;
                continue;
            }
            int64_t lo = lo_key, hi = hi_key;  // level(lo) < j <= level(hi)
            // The span of keys exceeds int64: halve it unsigned.
            while (static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo) > 1) {
                const int64_t mid = static_cast<int64_t>(
                    static_cast<uint64_t>(lo) + (static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo)) / 2);
                if (direction_level_reference(from_key(mid)) >= j)
                    hi = mid;
                else
                    lo = mid;
            }
            steps[j - 1] = from_key(hi);
        }
        // A libm whose atan is not monotone here would break the premise:
        // leave every bucket to the reference arithmetic then.
        for (int j = 1; j < 255; ++j)
            if (steps[j] < steps[j - 1]) return;

        const double guard = std::ldexp(1.0, -20);
        // Level for every r in [a, b], or 255 when a step is near.
        auto level_between = [&](double a, double b) -> unsigned char {
            const double ga = a - std::fabs(a) * guard, gb = b + std::fabs(b) * guard;
            const double *first_not_below = std::lower_bound(steps, steps + 255, ga);
            if (first_not_below != steps + 255 && *first_not_below <= gb) return 255;
            return static_cast<unsigned char>(first_not_below - steps);
        };

        const uint64_t bucket_bits = uint64_t(1) << (52 - direction_mantissa_bits);
        const uint64_t first_bits = static_cast<uint64_t>(1023 + direction_min_exponent) << 52;
        const double tiny = from_bits(first_bits);
        const unsigned char tiny_level = level_between(-tiny, tiny);
        const size_t half = static_cast<size_t>(direction_buckets) + 2;
        table[0] = table[half] = tiny_level;
        for (int t = 0; t < direction_buckets; ++t) {
            const uint64_t low = first_bits + static_cast<uint64_t>(t) * bucket_bits;
            const double m_lo = from_bits(low), m_hi = from_bits(low + bucket_bits - 1);
            table[1 + t] = level_between(m_lo, m_hi);
            table[half + 1 + t] = level_between(-m_hi, -m_lo);
        }
        // table[half - 1] and table[2 * half - 1] (|r| >= 2^16) stay 255.
    }
};

const direction_builder direction_tables;

// ---- Checks made once at start --------------------------------------------

bool check_gauss_quotient() {
    const double factor = 1.0 / 159.0;
    for (uint32_t s = 0; s <= gauss_max_sum; ++s)
        if (truncate_to_byte(factor * static_cast<double>(s) + 0.0) != s / 159) return false;
    return true;
}

const bool gauss_exact = check_gauss_quotient();
const uint32_t tracking_bound = first_sum([](uint32_t q) { return !(length_of_sum(q) < 44.2); });

canny_bounds make_canny_bounds() {
    const double steep = 2.1943 * 65536.0, diagonal = 0.4142 * 65536.0;
    return {static_cast<int64_t>(std::floor(steep)), static_cast<int64_t>(std::ceil(-steep)),
            static_cast<int64_t>(std::floor(diagonal)), static_cast<int64_t>(std::ceil(-diagonal))};
}

const canny_bounds canny_limits = make_canny_bounds();

struct erode_step_table {
    uint8_t steps[512];
    constexpr erode_step_table() : steps{} {
        for (unsigned int i = 0; i < 512; ++i) {
            unsigned int left = i >> 8, out = 0;
            for (unsigned int k = 0; k < 4; ++k) {
                out |= left << k;
                const unsigned int g = (i >> (4 + k)) & 1, h = (i >> k) & 1;
                left = g | (h & (left ^ 1));
            }
            steps[i] = static_cast<uint8_t>(out | (left << 4));
        }
    }
};
constexpr erode_step_table erode_step_values{};

// ---- Portable rows ----------------------------------------------------------

inline uint8_t clamp_byte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// Integer sum of an N x N window at channel i; neighbours are 3 bytes apart.
template <int N>
inline int window_sum(const int *weights, const uint8_t *const rows[], ptrdiff_t i) {
    const int h = (N - 1) / 2;
    int s = 0;
    for (int m = 0; m < N; ++m)
        for (int n = 0; n < N; ++n) s += weights[m * N + n] * rows[m][i + 3 * n - 3 * h];
    return s;
}

void gauss5_c(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int) {
    for (size_t i = begin; i < end; ++i)
        dst[i] = static_cast<uint8_t>(static_cast<unsigned>(window_sum<5>(gauss_weights, rows, i)) / 159);
}

void laplace5_c(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int offset) {
    for (size_t i = begin; i < end; ++i)
        dst[i] = clamp_byte(window_sum<5>(laplace_weights, rows, i) + offset);
}

void sharpen3_c(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    for (size_t i = begin; i < end; ++i)
        dst[i] = clamp_byte(window_sum<3>(sharpen_weights, rows, i) + offset);
}

void emboss3_c(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    for (size_t i = begin; i < end; ++i) dst[i] = clamp_byte(window_sum<3>(emboss_weights, rows, i) + offset);
}

void scale_c(const uint8_t *src, double *t, size_t n, double scale) {
    for (size_t j = 0; j < n; ++j) t[j] = scale * static_cast<double>(src[j]);
}

// The Sobel pair's sums over a 3x3 window of rows r0..r2 around index i,
// neighbours `step` apart (signed: at a row start it reads left of it),
// taps in window order. The zero taps add nothing
// but the sign of a zero sum, which the callers' absolute values drop.
inline void sobel_sums(const double *r0, const double *r1, const double *r2, ptrdiff_t i, ptrdiff_t step,
                       double &p, double &q) {
    const double a0 = r0[i - step], a1 = r0[i], a2 = r0[i + step];
    const double a3 = r1[i - step], a5 = r1[i + step];
    const double a6 = r2[i - step], a7 = r2[i], a8 = r2[i + step];
    p = 0.0;
    p += -1.0 * a0;
    p += 1.0 * a2;
    p += -2.0 * a3;
    p += 2.0 * a5;
    p += -1.0 * a6;
    p += 1.0 * a8;
    q = 0.0;
    q += -1.0 * a0;
    q += -2.0 * a1;
    q += -1.0 * a2;
    q += 1.0 * a6;
    q += 2.0 * a7;
    q += 1.0 * a8;
}

void sobel_c(const double *t0, const double *t1, const double *t2, uint8_t *dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        double p, q;
        sobel_sums(t0, t1, t2, i, 3, p, q);
        const double w = std::fabs(p) + std::fabs(q);
        dst[i] = w < 32.0 ? static_cast<uint8_t>(static_cast<int>(w) * 8) : 255;
    }
}

void length_c(const color_type *src, double *l, size_t n) {
    for (size_t x = 0; x < n; ++x) l[x] = length_of_sum(square_sum(src[x]));
}

void third_length_c(const color_type *src, double *l, size_t n) {
    for (size_t x = 0; x < n; ++x) l[x] = length_of_sum(square_sum(src[x])) / 3.0;
}

// |gy| * 65536 / gx truncated; too large for 32 bits saturates with the sign of gx.
inline int32_t fixed_ratio(double gx, double gy) {
    if (gx == 0.0) return 0;
    const double q = std::fabs(gy) * 65536.0 / gx;
    if (q >= 2147483648.0) return INT32_MAX;
    if (q <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(q);
}

void gradient_c(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio,
                size_t n) {
    for (size_t x = 0; x < n; ++x) {
        double gx, gy;
        sobel_sums(l0, l1, l2, x, 1, gx, gy);
        mag[x] = static_cast<uint32_t>(std::fabs(gx) + std::fabs(gy));
        ratio[x] = fixed_ratio(gx, gy);
    }
}

const color_type black = {0, 0, 0};
const color_type white = {255, 255, 255};
const color_type red = {0, 0, 255};

void suppress_c(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
                const color_type *save, color_type *dst) {
    const canny_bounds &b = canny_limits;
    const ptrdiff_t w = static_cast<ptrdiff_t>(stride);
    for (size_t x = 0; x < n; ++x) {
        const uint32_t *c = mag + x;
        const uint32_t m = *c;
        const int64_t r = ratio[x];
        bool edge = false;
        if (static_cast<int64_t>(m) > bound) {
            const bool steep = r > b.steep_above || r < b.steep_below;
            if (steep && m > c[-w] && m > c[w])
                edge = true;
            else if (!steep && r > b.diagonal_above && m > c[-w + 1] && m > c[w - 1])
                edge = true;
            else if (r < b.diagonal_below && m > c[-w - 1] && m > c[w + 1])
                edge = true;
            else if (m > c[-1] && m > c[1])
                edge = true;
        }
        dst[x] = edge ? red : save[x];
    }
}

void direction_c(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n) {
    // Signed: the first pixel reads its left neighbour at index -1.
    for (ptrdiff_t x = 0; x < static_cast<ptrdiff_t>(n); ++x) {
        double gx = 0.0;
        gx += -t0[x - 1];
        gx += t0[x + 1];
        gx += -2.0 * t1[x - 1];
        gx += 2.0 * t1[x + 1];
        gx += -t2[x - 1];
        gx += t2[x + 1];
        double gy = 0.0;
        gy += -t0[x - 1];
        gy += -2.0 * t0[x];
        gy += -t0[x + 1];
        gy += t2[x - 1];
        gy += 2.0 * t2[x];
        gy += t2[x + 1];
        const unsigned char v = gx != 0.0 ? direction_level(gy / gx) : 0;
        dst[x] = color_type{v, v, v};
    }
}

void edge_c(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int c = row[i];
        const int v = 5 * (std::abs(c - row[i + 3]) + std::abs(c - below[i]));
        dst[i] = static_cast<uint8_t>(v > 255 ? 255 : v);
    }
}

void threshold_c(const color_type *src, color_type *dst, size_t n, uint32_t first_black) {
    for (size_t x = 0; x < n; ++x) dst[x] = square_sum(src[x]) >= first_black ? black : white;
}

void classify_c(const color_type *src, uint8_t *cls, size_t n, uint32_t above, uint32_t below) {
    for (size_t x = 0; x < n; ++x) {
        const uint32_t q = square_sum(src[x]);
        cls[x] = static_cast<uint8_t>((q >= above ? 1 : 0) | (q < below ? 2 : 0));
    }
}

void cross_row_c(const uint8_t *cls, color_type *dst, size_t n, unsigned int *reference) {
    unsigned int r = *reference;
    for (size_t x = 0; x < n; ++x) {
        const unsigned int c = cls[x];
        const bool cross = (r | c) == 3;
        dst[x] = cross ? white : black;
        if (cross) r = c;
    }
    *reference = r;
}

void cross_column_c(const uint8_t *cls, uint8_t *reference, color_type *dst, size_t n) {
    for (size_t x = 0; x < n; ++x) {
        if ((reference[x] | cls[x]) == 3) {
            dst[x] = white;
            reference[x] = cls[x];
        }
    }
}

// Class 1: length above the threshold; 2: below it.
void erode_c(const uint8_t *cp, const uint8_t *cc, const uint8_t *cn, const color_type *up,
             const color_type *save, color_type *out, size_t n, unsigned int *left) {
    unsigned int left_marked = *left;
    for (ptrdiff_t x = 0; x < static_cast<ptrdiff_t>(n); ++x) {
        const unsigned int horizontal = cc[x - 1] & (cc[x + 1] >> 1) & ~left_marked & 1u;
        const unsigned int vertical = cp[x] & (cn[x] >> 1) & (up[x].r != 255);
        const unsigned int diagonal = cp[x - 1] & (cn[x + 1] >> 1) & (up[x - 1].r != 255);
        const color_type p = (horizontal | vertical | diagonal) ? red : save[x];
        out[x] = p;
        left_marked = p.r == 255;
    }
    *left = left_marked;
}

void average_c(const uint8_t *src, uint8_t *last, uint8_t *dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t s = src[i];
        dst[i] = static_cast<uint8_t>((s + last[i]) / 2);
        last[i] = s;
    }
}

inline unsigned char rc_update(float &state, unsigned char x) {
    const double s = static_cast<double>(state) * static_cast<double>(0.99f) +
                     static_cast<double>(x) * static_cast<double>(0.01f);
    float stored = static_cast<float>(s);
    if (stored < 0.0f) stored = 0.0f;
    if (stored > 255.0f) stored = 255.0f;
    state = stored;
    return static_cast<unsigned char>(stored);
}

void rc_c(const color_type *src, float *state, color_type *dst, size_t n) {
    for (size_t p = 0; p < n; ++p) {
        float *s = state + 3 * p;
        const color_type in = src[p];
        dst[p].r = rc_update(s[0], in.r);
        dst[p].g = rc_update(s[1], in.g);
        dst[p].b = rc_update(s[2], in.b);
    }
}

void track_c(const color_type *src, color_type *last, color_type *dst, size_t n, unsigned int x0, bool diff,
             uint64_t *total, uint64_t *moment) {
    uint64_t t = 0, mx = 0;
    for (size_t x = 0; x < n; ++x) {
        const color_type s = src[x], l = last[x];
        const int dr = s.r - l.r, dg = s.g - l.g, db = s.b - l.b;
        double d = std::sqrt(static_cast<double>(dr * dr + dg * dg + db * db));
        if (d < 44.2) d = 0.0;
        const unsigned int m = static_cast<unsigned int>(d);
        dst[x] = diff ? color_type{0, static_cast<unsigned char>(255 * m / 442), 0} : s;
        last[x] = s;
        t += m;
        mx += static_cast<uint64_t>(x0 + x) * m;
    }
    *total += t;
    *moment += mx;
}

const row_kernels portable = {
    gauss5_c,       laplace5_c,     sharpen3_c, emboss3_c,   scale_c, sobel_c,     length_c,
    third_length_c, gradient_c,     suppress_c, direction_c, edge_c,  threshold_c, classify_c,
    cross_row_c,    cross_column_c, erode_c,    average_c,   rc_c,    track_c,
};

}  // namespace

const unsigned char *direction_table = direction_tables.table;
const uint8_t *const erode_steps = erode_step_values.steps;

uint32_t first_sum_above(double threshold) {
    return first_sum([threshold](uint32_t q) { return length_of_sum(q) > threshold; });
}

uint32_t first_sum_not_below(double threshold) {
    return first_sum([threshold](uint32_t q) { return !(length_of_sum(q) < threshold); });
}

bool gauss_quotient_exact() { return gauss_exact; }

uint32_t tracking_min_sum() { return tracking_bound; }

unsigned char direction_level_reference(double r) {
    const double half_pi = 1.5707963267948966;
    const double pi = 3.141592653589793;
    return truncate_to_byte((std::atan(r) + half_pi) / pi * 255);
}

unsigned char direction_level_of(double r) { return direction_level(r); }

float direction_estimate(float gx, float gy) {
    const float ax = std::fabs(gx), ay = std::fabs(gy);
    const float t = std::fmin(ax, ay) / std::fmax(ax, ay), z = t * t;
    float poly = direction_atan[8];
    for (int k = 7; k >= 0; --k) poly = std::fma(poly, z, direction_atan[k]);
    float angle = poly * t;
    if (ay > ax) angle = 1.57079632679f - angle;
    if (std::signbit(gx) != std::signbit(gy)) angle = -angle;
    return std::fma(angle, 81.1690209769f, 127.5f);
}

const canny_bounds &suppression_bounds() { return canny_limits; }

int64_t magnitude_bound(double threshold) {
    if (std::isnan(threshold) || threshold >= 4294967295.0) return 4294967295ll;
    if (threshold < 0.0) return -1;
    return static_cast<int64_t>(std::floor(threshold));
}

const row_kernels &portable_kernels() { return portable; }

const row_kernels &active_kernels() {
    switch (simd_active()) {
        case simd_level::avx512:
            if (const row_kernels *k = avx512_kernels()) return *k;
            [[fallthrough]];
        case simd_level::avx2:
            if (const row_kernels *k = avx2_kernels()) return *k;
            [[fallthrough]];
        default:
            return portable;
    }
}

}  // namespace fast
