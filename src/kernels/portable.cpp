// The portable row kernels: the arithmetic of the reference filters,
// reorganised per row, in plain C++. The per-pixel steps come from steps.h,
// which the reference filters share; the vector sets (avx2.cpp, avx512.cpp)
// do the same arithmetic several lanes at a time and fall back on these
// kernels for the last few elements of a row.
#include <cstring>

#include "kernels/exact.h"
#include "kernels/kernels.h"
#include "kernels/steps.h"

namespace kernels {
namespace portable {
namespace {

// Integer sum of an N x N window at channel i; neighbours are 3 bytes apart.
template <int N>
inline int window_sum(const int *weights, const uint8_t *const rows[], ptrdiff_t i) {
    const int h = (N - 1) / 2;
    int s = 0;
    for (int m = 0; m < N; ++m)
        for (int n = 0; n < N; ++n) s += weights[m * N + n] * rows[m][i + 3 * n - 3 * h];
    return s;
}

}  // namespace

void gauss5(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int) {
    for (size_t i = begin; i < end; ++i)
        dst[i] = static_cast<uint8_t>(static_cast<unsigned>(window_sum<5>(gauss_weights, rows, i)) / 159);
}

void laplace5(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int offset) {
    for (size_t i = begin; i < end; ++i)
        dst[i] = clamp_byte(window_sum<5>(laplace_weights, rows, i) + offset);
}

void sharpen3(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    for (size_t i = begin; i < end; ++i)
        dst[i] = clamp_byte(window_sum<3>(sharpen_weights, rows, i) + offset);
}

void emboss3(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    for (size_t i = begin; i < end; ++i) dst[i] = clamp_byte(window_sum<3>(emboss_weights, rows, i) + offset);
}

void scale(const uint8_t *src, double *t, size_t n, double scale) {
    for (size_t j = 0; j < n; ++j) t[j] = scale * static_cast<double>(src[j]);
}

namespace {

// The Sobel pair's sums over a 3x3 window of rows r0..r2 around index i,
// neighbours `step` apart (signed: at a row start it reads left of it),
// taps in window order. The zero taps add nothing but the sign of a zero
// sum, which the callers' absolute values drop.
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

}  // namespace

void sobel(const double *const t[], uint8_t *const dst[], size_t rows, size_t n) {
    for (size_t k = 0; k < rows; ++k)
        for (size_t i = 0; i < n; ++i) {
            double p, q;
            sobel_sums(t[k], t[k + 1], t[k + 2], i, 3, p, q);
            const double w = std::fabs(p) + std::fabs(q);
            dst[k][i] = w < 32.0 ? static_cast<uint8_t>(static_cast<int>(w) * 8) : 255;
        }
}

void length(const color_type *src, double *l, size_t n) {
    for (size_t x = 0; x < n; ++x) l[x] = length_of_sum(square_sum(src[x]));
}

void third_length(const color_type *src, double *l, size_t n) {
    for (size_t x = 0; x < n; ++x) l[x] = length_of_sum(square_sum(src[x])) / 3.0;
}

void gradient(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio, size_t n) {
    for (size_t x = 0; x < n; ++x) {
        double gx, gy;
        sobel_sums(l0, l1, l2, x, 1, gx, gy);
        mag[x] = static_cast<uint32_t>(std::fabs(gx) + std::fabs(gy));
        ratio[x] = fixed_ratio(gx, gy);
    }
}

namespace {

const color_type black = {0, 0, 0};
const color_type white = {255, 255, 255};
const color_type red = {0, 0, 255};

}  // namespace

void suppress(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
              const color_type *save, color_type *dst) {
    const canny_bounds &b = suppression_bounds();
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

void direction(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n) {
    const unsigned char *table = direction_table();
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
        const unsigned char v = gx != 0.0 ? direction_level(table, gy / gx) : 0;
        dst[x] = color_type{v, v, v};
    }
}

void edge(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        dst[i] = edge_value(row[i], row[i + 3], below[i]);
    }
}

void threshold(const color_type *src, color_type *dst, size_t n, uint32_t first_black) {
    for (size_t x = 0; x < n; ++x) dst[x] = square_sum(src[x]) >= first_black ? black : white;
}

void classify(const color_type *src, uint8_t *cls, size_t n, uint32_t above, uint32_t below) {
    for (size_t x = 0; x < n; ++x) {
        const uint32_t q = square_sum(src[x]);
        cls[x] = static_cast<uint8_t>((q >= above ? 1 : 0) | (q < below ? 2 : 0));
    }
}

void cross_row(const uint8_t *cls, color_type *dst, size_t n, unsigned int *reference) {
    unsigned int r = *reference;
    for (size_t x = 0; x < n; ++x) {
        const unsigned int c = cls[x];
        const bool cross = (r | c) == 3;
        dst[x] = cross ? white : black;
        if (cross) r = c;
    }
    *reference = r;
}

void cross_column(const uint8_t *cls, uint8_t *reference, color_type *dst, size_t n) {
    for (size_t x = 0; x < n; ++x) {
        if ((reference[x] | cls[x]) == 3) {
            dst[x] = white;
            reference[x] = cls[x];
        }
    }
}

// Class 1: length above the threshold; 2: below it.
void erode(const uint8_t *cp, const uint8_t *cc, const uint8_t *cn, const color_type *up,
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

void average(const uint8_t *src, uint8_t *last, uint8_t *dst, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t s = src[i];
        dst[i] = static_cast<uint8_t>((s + last[i]) / 2);
        last[i] = s;
    }
}

void rc(const color_type *src, float *state, color_type *dst, size_t n) {
    for (size_t p = 0; p < n; ++p) {
        float *s = state + 3 * p;
        const color_type in = src[p];
        dst[p].r = rc_update(s[0], in.r);
        dst[p].g = rc_update(s[1], in.g);
        dst[p].b = rc_update(s[2], in.b);
    }
}

void track(const color_type *src, color_type *last, color_type *dst, size_t n, unsigned int x0, bool diff,
           uint64_t *total, uint64_t *moment) {
    uint64_t t = 0, mx = 0;
    for (size_t x = 0; x < n; ++x) {
        const color_type s = src[x], l = last[x];
        const unsigned int m = tracking_change(s, l);
        dst[x] = diff ? color_type{0, static_cast<unsigned char>(255 * m / 442), 0} : s;
        last[x] = s;
        t += m;
        mx += static_cast<uint64_t>(x0 + x) * m;
    }
    *total += t;
    *moment += mx;
}

}  // namespace portable
}  // namespace kernels
