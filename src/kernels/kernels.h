// Row kernels: rows in, rows out. A kernel knows nothing of frames, their
// geometry, the pipeline's buffers or flags; the filters (src/filters/) split
// a frame into rows and call the kernels of the active set. Every set (the
// portable C++ one, AVX2, AVX-512) gives the same bytes for the same rows.
//
// A row is a run of bytes (channels b, g, r of each pixel in turn) or of
// pixels. Pointers passed as "centre" may be read a window's reach to either
// side; the callers keep every read inside their buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/pixel.h"

namespace kernels {

// Integer convolutions, one output byte per channel i in [begin, end) of
// the row `dst`; rows[m] is frame row y - h + m. `offset` is added after
// the sum (the Gaussian takes none and divides by 159).
using gauss5_row = void(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int offset);
using laplace5_row = void(const uint8_t *const rows[5], uint8_t *dst, size_t begin, size_t end, int offset);
using sharpen3_row = void(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset);
using emboss3_row = void(const uint8_t *const rows[3], uint8_t *dst, size_t begin, size_t end, int offset);

// Sobel: t[j] = scale * src[j] in double for n channels; then n outputs in
// each of `rows` consecutive frame rows dst[0 .. rows-1] from rows + 2 such
// rows: t[k + 1] is dst[k]'s own row, t[k] and t[k + 2] the rows above and
// below it, all centred on channel 0. (The vector kernels do rows in pairs:
// the two windows share two of their three rows, so a pair loads four rows
// instead of six.)
using scale_row = void(const uint8_t *src, double *t, size_t n, double scale);
using sobel_row = void(const double *const t[], uint8_t *const dst[], size_t rows, size_t n);

// Colour lengths sqrt(q) of n pixels, and the same divided by 3.0.
using length_row = void(const color_type *src, double *l, size_t n);
using third_length_row = void(const color_type *src, double *l, size_t n);
// Canny gradients of n pixels from three length rows centred on pixel 0.
using gradient_row = void(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio,
                          size_t n);
// Canny suppression of n pixels centred on mag[0] (row stride `stride`):
// red where the magnitude passes and the pixel is a maximum, else the
// save_frame pixel.
using suppress_row = void(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
                          const color_type *save, color_type *dst);
// Combo edge levels of n pixels from three third-length rows centred on pixel 0.
using direction_row = void(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n);

// 5 * (|right| + |below| differences), saturated, for n channels.
using edge_row = void(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t n);
// Black where q >= first_black, else white.
using threshold_row = void(const color_type *src, color_type *dst, size_t n, uint32_t first_black);
// Per pixel: 1 where q >= above, 2 where q < below, else 0.
using classify_row = void(const color_type *src, uint8_t *cls, size_t n, uint32_t above, uint32_t below);
// Edge reduction along a row: a pixel is white where its class and the
// reference class are 1 and 2 (a crossing), and the reference takes its
// class; black elsewhere. *reference carries the class from pixel to pixel.
using cross_row_row = void(const uint8_t *cls, color_type *dst, size_t n, unsigned int *reference);
// The same down the columns of a row segment, one reference per column;
// only crossings are written (white).
using cross_column_row = void(const uint8_t *cls, uint8_t *reference, color_type *dst, size_t n);
// Erode marks of n pixels of a row: cp, cc, cn are the classes of the rows
// above, this and below, and up the destination row above, all pointing
// at the first pixel's column with index -1 (and n for the classes)
// readable; save and out are this row's. *left: whether the pixel before
// the first has red byte 255, on entry; of the last pixel on return.
using erode_row = void(const uint8_t *cp, const uint8_t *cc, const uint8_t *cn, const color_type *up,
                       const color_type *save, color_type *out, size_t n, unsigned int *left);
// dst = (src + last) / 2 per channel, then last = src, for n bytes.
using average_row = void(const uint8_t *src, uint8_t *last, uint8_t *dst, size_t n);
// RC update of n pixels (state: three floats per pixel, r, g, b).
using rc_row = void(const color_type *src, float *state, color_type *dst, size_t n);
// Tracking of n pixels starting at column x0: adds the changes m to
// *total and x * m to *moment; writes the difference picture (diff) or the
// source into dst, and the source into last.
using track_row = void(const color_type *src, color_type *last, color_type *dst, size_t n, unsigned int x0,
                       bool diff, uint64_t *total, uint64_t *moment);

// The kernels, by name. Every list below (the table, each instruction
// set's functions, the dispatcher's filling) comes from this one list, so a
// table is always filled name by name.
#define LUMIVEX_ROW_KERNELS(X) \
    X(gauss5)                  \
    X(laplace5)                \
    X(sharpen3)                \
    X(emboss3)                 \
    X(scale)                   \
    X(sobel)                   \
    X(length)                  \
    X(third_length)            \
    X(gradient)                \
    X(suppress)                \
    X(direction)               \
    X(edge)                    \
    X(threshold)               \
    X(classify)                \
    X(cross_row)               \
    X(cross_column)            \
    X(erode)                   \
    X(average)                 \
    X(rc)                      \
    X(track)

struct row_kernels {
#define LUMIVEX_ROW_KERNEL_MEMBER(name) name##_row *name;
    LUMIVEX_ROW_KERNELS(LUMIVEX_ROW_KERNEL_MEMBER)
#undef LUMIVEX_ROW_KERNEL_MEMBER
};

// Each instruction set's kernels under the same names: kernels::portable::rc,
// kernels::avx2::rc, ... The AVX-512 set replaces a few AVX2 kernels and
// takes the rest from AVX2 (see dispatch.cpp).
#define LUMIVEX_ROW_KERNEL_DECLARATION(name) name##_row name;
namespace portable {
LUMIVEX_ROW_KERNELS(LUMIVEX_ROW_KERNEL_DECLARATION)
}
namespace avx2 {
LUMIVEX_ROW_KERNELS(LUMIVEX_ROW_KERNEL_DECLARATION)
// Whether the AVX2 lengths' division-free division by 3 gives the quotient
// for every colour length; checked on first use, and used only if so.
bool third_exact();
}  // namespace avx2
namespace avx512 {
gauss5_row gauss5;
laplace5_row laplace5;
sharpen3_row sharpen3;
emboss3_row emboss3;
length_row length;
third_length_row third_length;
suppress_row suppress;
gradient_row gradient;
scale_row scale;
sobel_row sobel;
direction_row direction;
erode_row erode;
rc_row rc;
}  // namespace avx512
#undef LUMIVEX_ROW_KERNEL_DECLARATION

}  // namespace kernels
