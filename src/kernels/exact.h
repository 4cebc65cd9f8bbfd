// Exact integer forms of the filters' floating-point decisions, and the
// tables the kernels look them up in. Each bound or table is worked out on
// first use (thread-safe) and kept: nothing here runs before main.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/steps.h"

namespace kernels {

// ---- Convolution tables -----------------------------------------------------

// The pipeline's convolution tables as integers, row by row: used to
// recognise the tables a caller passes, and by the portable kernels, which
// the compiler specialises for these constant weights.
// clang-format off
inline constexpr int gauss_weights[25] = {
    2, 4,  5,  4,  2,
    4, 9,  12, 9,  4,
    5, 12, 15, 12, 5,
    4, 9,  12, 9,  4,
    2, 4,  5,  4,  2,
};
inline constexpr int laplace_weights[25] = {
    0, 0, 1,   0, 0,
    0, 1, 2,   1, 0,
    1, 2, -16, 2, 1,
    0, 1, 2,   1, 0,
    0, 0, 1,   0, 0,
};
inline constexpr int sharpen_weights[9] = {0, -1, 0, -1, 5, -1, 0, -1, 0};
inline constexpr int emboss_weights[9] = {2, 0, 0, 0, -1, 0, 0, 0, -1};
// clang-format on

// ---- Colour lengths ---------------------------------------------------------

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
// equals s / 159 in integers. Checked for every s on first use; the fast
// Gaussian is used only if it holds.
bool gauss_quotient_exact();
const uint32_t gauss_max_sum = 159 * 255;

// Tracking: a change counts (d >= 44.2) exactly when the sum of squared
// differences is at least this bound (1954); then trunc(d) = isqrt(sum).
uint32_t tracking_min_sum();

// ---- Combo edge directions --------------------------------------------------

// The grey level of a gradient direction is the reference arithmetic
// (atan(gy / gx) + pi/2) / pi * 255 truncated, for the quotient r = gy / gx
// (direction_level_reference in steps.h). direction_table() gives the same
// level from a table indexed by the top bits of r, or 255 where the table
// cannot decide (near a step between levels, or |r| >= 2^16) and the
// reference arithmetic must be used. See exact.cpp.
const unsigned char *direction_table();
const int direction_mantissa_bits = 12;
const int direction_min_exponent = -8;  // |r| below 2^-8: the tiny bucket
const int direction_max_exponent = 16;  // |r| from 2^16 on: always exact
const int direction_buckets = (direction_max_exponent - direction_min_exponent) << direction_mantissa_bits;

// direction_level_reference, out of line: the rare case stays out of the
// callers' loops.
unsigned char direction_level_of_reference(double r);

namespace {  // internal linkage: the x86 files compile this header for their own targets

// Index of r in direction_table: 0 = tiny, 1 .. buckets = by the top bits,
// buckets + 1 = huge; negative r use the second half.
inline uint32_t direction_index(double r) {
    uint64_t bits;
    static_assert(sizeof bits == sizeof r, "64-bit double");
    std::memcpy(&bits, &r, sizeof bits);
    const uint32_t half = (bits >> 63) ? direction_buckets + 2 : 0;
    const int64_t mag =
        static_cast<int64_t>((bits & 0x7FFFFFFFFFFFFFFFull) >> (52 - direction_mantissa_bits));
    int64_t t = mag - (static_cast<int64_t>(1023 + direction_min_exponent) << direction_mantissa_bits);
    if (t < -1) t = -1;
    if (t > direction_buckets) t = direction_buckets;
    return half + static_cast<uint32_t>(t + 1);
}

// The level of r from `table` (direction_table()), or by the reference
// arithmetic where the table cannot decide.
inline unsigned char direction_level(const unsigned char *table, double r) {
    const unsigned char v = table[direction_index(r)];
    return v != 255 ? v : direction_level_of_reference(r);
}

// 255 * m / 442 for m = 0 .. 441 as (m * 604953) >> 20 (checked for all m).
inline uint32_t tracking_green(uint32_t m) { return (m * 604953u) >> 20; }

}  // namespace

// The same, out of line (for the vector rows' rare undecided lanes).
unsigned char direction_level_of(double r);

// The vector rows estimate the unrounded level f = (atan(gy/gx) + pi/2) /
// pi * 255 in single precision: t = min(|gx|, |gy|) / max(|gx|, |gy|),
// atan(t) = t * P(t^2) with Abramowitz & Stegun 4.4.49 (|error| <= 2e-8 on
// [0, 1]), pi/2 minus that where |gy| > |gx|, the sign of gy/gx, then
// f = angle * 255/pi + 127.5. Its error is below 2.9e-5 of a level:
// tools/direction_margin.cpp checks the estimate against f for every float
// t in [0, 1] in all four cases (at most 2.15e-5) and adds what happens
// before t (the float roundings of gx, gy and the quotient, 7.3e-6). The
// margin is ten times that: the level is the estimate's integer part
// wherever the estimate is at least direction_margin from a whole number,
// and the exact arithmetic decides everywhere else (0.06 % of the
// benchmark's pixels; 0.7 to 0.8 % with the first margin, 4e-3).
inline constexpr float direction_atan[9] = {1.0f,           -0.3333314528f, 0.1999355085f,
                                            -0.1420889944f, 0.1065626393f,  -0.0752896400f,
                                            0.0429096138f,  -0.0161657367f, 0.0028662257f};
inline constexpr float direction_margin = 3e-4f;
// The estimate of f as the vector rows compute it, lane for lane.
float direction_estimate(float gx, float gy);

// ---- Canny ------------------------------------------------------------------

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

// ---- Erode ------------------------------------------------------------------

namespace {  // internal linkage: the x86 files compile this header for their own targets

// Erode's dependence on the pixel to the left, for up to 64 pixels at once.
// Bit k of g: pixel k is marked whatever its left neighbour (by its other
// tests, or a camera red of 255); of h: its horizontal test holds, so it is
// marked exactly when its left neighbour is not. `carry`: whether the pixel
// before pixel 0 is marked. Returns bit k = pixel k is marked.
//
// A pixel with g set or h clear (a reset) is marked exactly when g is; from
// there to the next reset the marks alternate. So pixel k's mark is that of
// the last reset j <= k, flipped when k - j is odd: with E the odd
// positions, mark(k) = W(j) ^ E(k) for W = mark ^ E at the resets, and W is
// carried forward over the runs between resets by a prefix scan (six
// shift-and steps). The pixels before the first reset follow the carry as
// if from a reset at position -1, which is odd. The carry enters only in the
// last step, so a row's blocks depend on each other by one OR.
inline uint64_t erode_marks(uint64_t g, uint64_t h, unsigned int carry) {
    const uint64_t odd = 0xAAAAAAAAAAAAAAAAull;
    const uint64_t reset = g | ~h;
    uint64_t run = ~reset;              // bit k: pixel k continues the run of pixel k - 1
    uint64_t fill = (g ^ odd) & reset;  // W at the resets
    for (int s = 1; s < 64; s *= 2) {
        fill |= run & (fill << s);
        run &= run << s;
    }
    const uint64_t before_first_reset = (reset & (0 - reset)) - 1;
    return (fill | (carry ? 0 : before_first_reset)) ^ odd;
}

}  // namespace

// ---- Start-up ---------------------------------------------------------------

// How many of the checks and tables above (and the instruction sets' own
// checks) have been worked out so far in this process: 0 until a filter or
// a test first needs one.
unsigned int proofs_run();
// Counts one more (for the checks made in the instruction-set files).
void count_proof();

}  // namespace kernels
