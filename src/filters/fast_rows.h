// Row kernels of the fast filter paths, and the exact integer forms of the
// filters' floating-point decisions that they rest on.
//
// Every filter in filters.h, canny.h and rc_filter.h has a plain reference
// version (the *_reference functions) that follows the filter's definition
// step by step. The public function checks that its fast path applies and
// otherwise calls the reference. A fast path splits the frame into rows and
// calls row kernels from one of the sets below: the portable C++ set or the
// AVX2 set, which give identical bytes (the tests hold both to the reference).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "filters/filters.h"

namespace fast {

// ---- Kernel tables ---------------------------------------------------------

// The pipeline's convolution tables as integers, row by row.
extern const int gauss_weights[25];
extern const int laplace_weights[25];
extern const int sharpen_weights[9];
extern const int emboss_weights[9];

// ---- Exact integer forms -------------------------------------------------

// Largest sum of squares of a pixel: 3 * 255^2.
const uint32_t max_square_sum = 3 * 255 * 255;

// The colour length is sqrt(q) for the integer q = b^2 + g^2 + r^2, and a
// correctly rounded square root is monotone in q. So "length > t" holds
// exactly for q >= first_sum_above(t), and "length < t" exactly for
// q < first_sum_not_below(t). Both are found by bisection with the same
// double arithmetic as color_size; max_square_sum + 1 means "never".
uint32_t first_sum_above(double threshold);
uint32_t first_sum_not_below(double threshold);

// Gaussian step: for the integer sum s = sum of weight * value (0 .. 40545,
// weights summing to 159), trunc(factor * s) with the double factor 1/159
// equals s / 159 in integers. Checked for every s when the program starts;
// the fast Gaussian is used only if it holds.
bool gauss_quotient_exact();
const uint32_t gauss_max_sum = 159 * 255;

// Tracking: a change counts (d >= 44.2) exactly when the sum of squared
// differences is at least this bound (1954); then trunc(d) = isqrt(sum).
uint32_t tracking_min_sum();
// 255 * m / 442 for m = 0 .. 441 as (m * 604953) >> 20 (checked for all m).
inline uint32_t tracking_green(uint32_t m) { return (m * 604953u) >> 20; }

// Combo edge: grey level of a gradient direction, the reference arithmetic
// (atan(gy / gx) + pi/2) / pi * 255 truncated, for the quotient r = gy / gx.
unsigned char direction_level_reference(double r);
// The same level from a table indexed by the top bits of r, or 255 where the
// table cannot decide (near a step between levels, or |r| >= 2^16) and the
// reference arithmetic must be used. See direction_table in fast_rows.cpp.
extern const unsigned char *direction_table;
const int direction_mantissa_bits = 12;
const int direction_min_exponent = -8;  // |r| below 2^-8: the tiny bucket
const int direction_max_exponent = 16;  // |r| from 2^16 on: always exact
const int direction_buckets = (direction_max_exponent - direction_min_exponent) << direction_mantissa_bits;
// Index of r in direction_table: 0 = tiny, 1 .. buckets = by the top bits,
// buckets + 1 = huge; negative r use the second half.
inline uint32_t direction_index(double r) {
    uint64_t bits;
    static_assert(sizeof bits == sizeof r, "64-bit double");
    std::memcpy(&bits, &r, sizeof bits);
    const uint32_t half = (bits >> 63) ? direction_buckets + 2 : 0;
    const int64_t mag = static_cast<int64_t>((bits & 0x7FFFFFFFFFFFFFFFull) >> (52 - direction_mantissa_bits));
    int64_t t = mag - (static_cast<int64_t>(1023 + direction_min_exponent) << direction_mantissa_bits);
    if (t < -1) t = -1;
    if (t > direction_buckets) t = direction_buckets;
    return half + static_cast<uint32_t>(t + 1);
}
inline unsigned char direction_level(double r) {
    const unsigned char v = direction_table[direction_index(r)];
    return v != 255 ? v : direction_level_reference(r);
}
// The same, out of line (for the vector rows' rare undecided lanes).
unsigned char direction_level_of(double r);

// The vector rows estimate the unrounded level f = (atan(gy/gx) + pi/2) /
// pi * 255 in single precision: t = min(|gx|, |gy|) / max(|gx|, |gy|),
// atan(t) = t * P(t^2) with Abramowitz & Stegun 4.4.49 (|error| <= 2e-8 on
// [0, 1]), pi/2 minus that where |gy| > |gx|, the sign of gy/gx, then
// f = angle * 255/pi + 127.5. Its error, about 1e-4 at most (the float
// rounding of gx, gy and the quotient, the polynomial's evaluation, and
// f's last place), is far below direction_margin: the level is the
// estimate's integer part wherever the estimate is at least that far from
// a whole number, and the exact arithmetic decides everywhere else.
inline constexpr float direction_atan[9] = {1.0f,          -0.3333314528f, 0.1999355085f,
                                            -0.1420889944f, 0.1065626393f,  -0.0752896400f,
                                            0.0429096138f,  -0.0161657367f, 0.0028662257f};
inline constexpr float direction_margin = 4e-3f;
// The estimate of f as the vector rows compute it, lane for lane.
float direction_estimate(float gx, float gy);

// Canny suppression: the double tests on ratio / 65536 against the limits,
// and grad_mag > threshold, as bounds on the stored integers.
struct canny_bounds {
    int64_t steep_above;     // steep when ratio > steep_above ...
    int64_t steep_below;     // ... or ratio < steep_below
    int64_t diagonal_above;  // ratio > diagonal_above
    int64_t diagonal_below;  // ratio < diagonal_below
};
const canny_bounds &suppression_bounds();
// grad_mag > threshold (compared as doubles) exactly when mag > the result,
// which lies in -1 (every magnitude passes) .. 2^32 - 1 (none does).
int64_t magnitude_bound(double threshold);

// Erode's dependence on the pixel to the left, 4 pixels a step: entry
// (carry << 8) | (g << 4) | h, with carry whether the pixel before the 4 is
// marked (red byte 255), and bit k of g, h for pixel k: g = it is marked
// whatever its left neighbour (by its other tests, or a camera red of 255), h
// = its horizontal test holds. Bits 0..3 of the value: whether the pixel
// left of pixel k is marked; bit 4: whether pixel 3 is.
extern const uint8_t *const erode_steps;

// ---- Row kernels ---------------------------------------------------------
// A row is a run of bytes (channels b, g, r of each pixel in turn) or of
// pixels. Pointers passed as "centre" may be read a window's reach to either
// side; the callers keep every read inside the frame.

struct row_kernels {
    // Integer convolutions, one output byte per channel i in [begin, end) of
    // the row `dst`; rows[m] is frame row y - h + m. `offset` is added after
    // the sum (the Gaussian takes none and divides by 159).
    void (*gauss5)(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int offset);
    void (*laplace5)(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int offset);
    void (*sharpen3)(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset);
    void (*emboss3)(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset);

    // Sobel: t[j] = scale * src[j] in double for n channels; then n outputs
    // from three such rows (t0 the lower frame row), centred on channel 0.
    void (*scale)(const uint8_t *src, double *t, size_t n, double scale);
    void (*sobel)(const double *t0, const double *t1, const double *t2, uint8_t *dst, size_t n);

    // Colour lengths sqrt(q) of n pixels, and the same divided by 3.0.
    void (*length)(const color_type *src, double *l, size_t n);
    void (*third_length)(const color_type *src, double *l, size_t n);
    // Canny gradients of n pixels from three length rows centred on pixel 0.
    void (*gradient)(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio,
                     size_t n);
    // Canny suppression of n pixels centred on mag[0] (row stride `stride`):
    // red where the magnitude passes and the pixel is a maximum, else the
    // save_frame pixel.
    void (*suppress)(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
                     const color_type *save, color_type *dst);
    // Combo edge levels of n pixels from three third-length rows centred on pixel 0.
    void (*direction)(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n);

    // 5 * (|right| + |below| differences), saturated, for n channels.
    void (*edge)(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t n);
    // Black where q >= first_black, else white.
    void (*threshold)(const color_type *src, color_type *dst, size_t n, uint32_t first_black);
    // Per pixel: 1 where q >= above, 2 where q < below, else 0.
    void (*classify)(const color_type *src, uint8_t *cls, size_t n, uint32_t above, uint32_t below);
    // Edge reduction along a row: a pixel is white where its class and the
    // reference class are 1 and 2 (a crossing), and the reference takes its
    // class; black elsewhere. *reference carries the class from pixel to pixel.
    void (*cross_row)(const uint8_t *cls, color_type *dst, size_t n, unsigned int *reference);
    // The same down the columns of a row segment, one reference per column;
    // only crossings are written (white).
    void (*cross_column)(const uint8_t *cls, uint8_t *reference, color_type *dst, size_t n);
    // Erode marks of n pixels of a row: cp, cc, cn are the classes of the rows
    // above, this and below, and up the destination row above, all pointing
    // at the first pixel's column with index -1 (and n for the classes)
    // readable; save and out are this row's. *left: whether the pixel before
    // the first has red byte 255, on entry; of the last pixel on return.
    void (*erode)(const uint8_t *cp, const uint8_t *cc, const uint8_t *cn, const color_type *up,
                  const color_type *save, color_type *out, size_t n, unsigned int *left);
    // dst = (src + last) / 2 per channel, then last = src, for n bytes.
    void (*average)(const uint8_t *src, uint8_t *last, uint8_t *dst, size_t n);
    // RC update of n pixels (state: three floats per pixel, r, g, b).
    void (*rc)(const color_type *src, float *state, color_type *dst, size_t n);
    // Tracking of n pixels starting at column x0: adds the changes m to
    // *total and x * m to *moment; writes the difference picture (diff) or the
    // source into dst, and the source into last.
    void (*track)(const color_type *src, color_type *last, color_type *dst, size_t n, unsigned int x0, bool diff,
                  uint64_t *total, uint64_t *moment);
};

const row_kernels &portable_kernels();

// The fast Gaussian step over a whole frame (rows 2 .. size_y-3, black side
// borders); false, with nothing written, where it does not apply.
bool gauss_frame(const color_type *source, color_type *destination);
// The AVX2 set, or null when this build or processor has none; the AVX-512
// set likewise.
const row_kernels *avx2_kernels();
const row_kernels *avx512_kernels();
// Whether the AVX2 rows' division-free division by 3 gave the quotient for
// every colour length when the program started (it is used only if so;
// false without AVX2).
bool avx2_third_checked();
// The set for simd_active().
const row_kernels &active_kernels();

}  // namespace fast
