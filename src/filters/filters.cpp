// The stateless filters. Each checks that its fast path applies (the
// pipeline's kernels and arguments, distinct buffers, a frame its window
// fits) and otherwise runs the reference version (filters_reference.cpp). A
// fast path runs row kernels (src/kernels/) over row bands on the worker
// pool; rows are independent, so the bytes do not depend on the band split,
// except for erode, whose marks depend on earlier marks and which runs in
// one pass.
#include "filters/filters.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "common/workers.h"
#include "filters/gauss_rows.h"
#include "kernels/dispatch.h"
#include "kernels/exact.h"
#include "kernels/steps.h"

namespace {

const double sobel_x[9] = {-1, 0, 1, -2, 0, 2, -1, 0, 1};
const double sobel_y[9] = {-1, -2, -1, 0, 0, 0, 1, 2, 1};

const color_type black = {0, 0, 0};
const color_type red = {0, 0, 255};

// Pixel columns per strip in the strip-wise passes: frames up to this wide
// go row by row (strips of a narrower width walk down the frame once per
// strip, which costs more than it saves). The stack buffers stay under
// 50 KB whatever the frame width.
const size_t strip_pixels = 2048;

inline uint8_t *bytes(color_type *f) { return reinterpret_cast<uint8_t *>(f); }
inline size_t frame_pixels(const frame_set &f) { return static_cast<size_t>(f.size_x) * f.size_y; }
inline size_t row_bytes(const frame_set &f) { return static_cast<size_t>(f.size_x) * 3; }

template <typename T>
bool same_table(const double *kernel, const T *table, int n) {
    for (int i = 0; i < n; ++i)
        if (!(kernel[i] == table[i])) return false;
    return true;
}

enum class convolution { none, gauss, laplace, sharpen, emboss };

// Which integer convolution (kernel, factor, offset) amounts to. For integer
// weights and 8-bit values the double sum is an exact integer S; with factor
// 1 and an integer offset b, S + b is exact too and the output is S + b
// clamped; the Gaussian's trunc(S / 159) is checked on first use
// (kernels::gauss_quotient_exact).
convolution recognise(const double *kernel, unsigned int width, double factor, double offset,
                      int &int_offset) {
    int_offset = 0;
    if (width == 5 && factor == 1.0 / 159.0 && offset == 0.0 &&
        same_table(kernel, kernels::gauss_weights, 25))
        return kernels::gauss_quotient_exact() ? convolution::gauss : convolution::none;
    if (factor != 1.0 || !(std::fabs(offset) <= 1024.0) || offset != std::floor(offset))
        return convolution::none;
    int_offset = static_cast<int>(offset);
    if (width == 5 && same_table(kernel, kernels::laplace_weights, 25)) return convolution::laplace;
    if (width == 3 && same_table(kernel, kernels::sharpen_weights, 9)) return convolution::sharpen;
    if (width == 3 && same_table(kernel, kernels::emboss_weights, 9)) return convolution::emboss;
    return convolution::none;
}

// The whole-frame form of a step: its rows over bands on the worker pool,
// or in one pass where they must go in frame order.
void run_whole(const filter_rows &step) {
    const frame_set &f = *step.frame;
    if (step.first >= step.last) return;
    if (step.in_order) {
        step.run(step, step.first, step.last);
        return;
    }
    auto band = [&](unsigned int b, unsigned int e) { step.run(step, b, e); };
    run_bands(step.first, step.last, frame_pixels(f), band);
}

// Rows h .. size_y-h-1 of the destination, side borders black. The frame is
// at least the kernel's width in both directions.
void convolve_rows(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const convolution kind = static_cast<convolution>(step.kind);
    const unsigned int h = step.reach;
    void (*row)(const uint8_t *const *, uint8_t *, size_t, size_t, int) =
        kind == convolution::gauss     ? k.gauss5
        : kind == convolution::laplace ? k.laplace5
        : kind == convolution::sharpen ? k.sharpen3
                                       : k.emboss3;
    const uint8_t *s = bytes(step.source);
    uint8_t *d = bytes(step.destination);
    const size_t stride = row_bytes(f), side = 3 * static_cast<size_t>(h);
    const uint8_t *rows[5];
    for (unsigned int y = b; y < e; ++y) {
        for (unsigned int m = 0; m < 2 * h + 1; ++m) rows[m] = s + static_cast<size_t>(y - h + m) * stride;
        uint8_t *out = d + static_cast<size_t>(y) * stride;
        row(rows, out, side, stride - side, step.offset);
        std::memset(out, 0, side);
        std::memset(out + stride - side, 0, side);
    }
}

void convolution_step(const frame_set &f, filter_rows &step, convolution kind, const color_type *source,
                      color_type *destination, int offset) {
    const unsigned int h = (kind == convolution::gauss || kind == convolution::laplace) ? 2 : 1;
    step = filter_rows(f, convolve_rows, const_cast<color_type *>(source), destination, h, f.size_y - h, h);
    step.kind = static_cast<int>(kind);
    step.offset = offset;
}

// The Sobel pair in double precision: each tap scaled in its own lane, the
// products and sums in the reference's order (kernels/avx2.cpp), so the
// 1/3-per-tap rounding comes out exactly as in the reference.
void sobel_rows(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const uint8_t *s = bytes(step.source);
    uint8_t *d = bytes(step.destination);
    const size_t stride = row_bytes(f), first = 3, last = stride - 3;
    // Four rows of 960 channels (31 KB) stay in the first-level cache with
    // room to spare; rows of 2048 (64 KB) did not, and the stage was slower.
    const size_t strip = 960;
    // Rows on cache-line boundaries: the kernels' loads 3 channels to either
    // side then split across lines least often (the AVX-512 stage took about
    // a tenth less). Four rows, so that output rows can go in pairs.
    alignas(64) double t[4][strip + 8];
    for (size_t c0 = first; c0 < last; c0 += strip) {
        const size_t len = last - c0 < strip ? last - c0 : strip;
        auto fill = [&](unsigned int row) {
            k.scale(s + row * stride + c0 - 3, t[row % 4], len + 6, step.scale);
        };
        fill(b - 1);
        fill(b);
        for (unsigned int y = b; y < e; y += 2) {
            const size_t rows = e - y < 2 ? 1 : 2;
            fill(y + 1);
            if (rows == 2) fill(y + 2);
            const double *const r[4] = {t[(y - 1) % 4] + 3, t[y % 4] + 3, t[(y + 1) % 4] + 3,
                                        t[(y + 2) % 4] + 3};
            uint8_t *const o[2] = {d + y * stride + c0, d + (y + rows - 1) * stride + c0};
            k.sobel(r, o, rows, len);
        }
    }
}

void edge_rows(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const uint8_t *s = bytes(step.source);
    uint8_t *d = bytes(step.destination);
    const size_t stride = row_bytes(f);
    for (size_t y = b; y < e; ++y) k.edge(s + y * stride, s + (y + 1) * stride, d + y * stride, stride - 3);
}

void threshold_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const size_t w = f.size_x;
    kernels::active_kernels().threshold(step.source + b * w, step.destination + b * w, (e - b) * w,
                                        step.above);
}

void average_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const size_t stride = row_bytes(f);
    kernels::active_kernels().average(bytes(step.source) + b * stride, bytes(f.last_frame) + b * stride,
                                      bytes(step.destination) + b * stride, (e - b) * stride);
}

void copy_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const size_t stride = row_bytes(f);
    std::memcpy(bytes(step.destination) + b * stride, bytes(step.source) + b * stride, (e - b) * stride);
}

// In frame order every mark depends on the marks to its left, above and
// above-left, so rows go in frame order. Within a band the pass goes strip
// by strip from left to right and, within a strip, row by row: each pixel
// still sees those three neighbours final. Only the colour-length classes
// (above or below the threshold, as exact integer bounds) are worked out
// ahead, a strip row at a time. The first and last rows and the side
// columns are the saved frame's.
void erode_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const size_t w = f.size_x, h = f.size_y;
    const color_type *save = f.save_frame, *source = step.source;
    color_type *destination = step.destination;
    if (b == 0) std::memcpy(destination, save, w * 3);
    if (e == h) std::memcpy(destination + (h - 1) * w, save + (h - 1) * w, w * 3);
    const size_t first = b > 1 ? b : 1, last = e < h - 1 ? e : h - 1;
    if (first >= last) return;
    for (size_t y = first; y < last; ++y) {
        destination[y * w] = save[y * w];
        destination[y * w + w - 1] = save[y * w + w - 1];
    }
    uint8_t cls[3][strip_pixels + 2];  // cls[r % 3][j]: class of column x0 - 1 + j in row r
    for (size_t x0 = 1; x0 + 1 < w; x0 += strip_pixels) {
        const size_t len = w - 1 - x0 < strip_pixels ? w - 1 - x0 : strip_pixels;
        auto fill = [&](size_t row) {
            k.classify(source + row * w + x0 - 1, cls[row % 3], len + 2, step.above, step.below);
        };
        fill(first - 1);
        fill(first);
        for (size_t y = first; y < last; ++y) {
            fill(y + 1);
            color_type *out = destination + y * w;
            unsigned int left = out[x0 - 1].r == 255;
            k.erode(cls[(y - 1) % 3] + 1, cls[y % 3] + 1, cls[(y + 1) % 3] + 1,
                    destination + (y - 1) * w + x0, save + y * w + x0, out + x0, len, &left);
        }
    }
}

// Edge reduction of row y: the row pass (a crossing is one class above the
// threshold and the other below it), then, given `columns` (each column's
// reference class, carried down from the rows above), the column pass, both
// from one classification of the row.
void reduce_row(const filter_rows &step, size_t y, uint8_t *columns) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const size_t w = f.size_x;
    uint8_t cls[strip_pixels];
    const color_type *in = step.source + y * w;
    color_type *out = step.destination + y * w;
    unsigned int reference = 0;
    for (size_t x0 = 0; x0 < w; x0 += strip_pixels) {
        const size_t len = w - x0 < strip_pixels ? w - x0 : strip_pixels;
        k.classify(in + x0, cls, len, step.above, step.below);
        if (x0 == 0) {
            reference = cls[0];
            out[0] = black;
            k.cross_row(cls + 1, out + 1, len - 1, &reference);
        } else {
            k.cross_row(cls, out + x0, len, &reference);
        }
        if (!columns) continue;
        if (y == 0)
            std::memcpy(columns + x0, cls, len);
        else
            k.cross_column(cls, columns + x0, out + x0, len);
    }
}

void reduce_along_rows(const filter_rows &step, unsigned int b, unsigned int e) {
    for (size_t y = b; y < e; ++y) reduce_row(step, y, nullptr);
}

// The column pass over rows [b, e) of columns [x0, x0 + len), each column's
// reference class in reference[] carried from the rows above (row 0 sets it).
void reduce_down_columns(const filter_rows &step, size_t x0, size_t len, size_t b, size_t e,
                         uint8_t *reference) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const size_t w = f.size_x;
    uint8_t cls[strip_pixels];
    if (b == 0) {
        k.classify(step.source + x0, reference, len, step.above, step.below);
        b = 1;
    }
    for (size_t y = b; y < e; ++y) {
        k.classify(step.source + y * w + x0, cls, len, step.above, step.below);
        k.cross_column(cls, reference, step.destination + y * w + x0, len);
    }
}

// Both passes over a band, row by row, the column references kept in
// step.columns.
void reduce_band(const filter_rows &step, unsigned int b, unsigned int e) {
    for (size_t y = b; y < e; ++y) reduce_row(step, y, step.columns);
}

// Levels from gy / gx through kernels::direction_level (exact, see kernels/exact.cpp).
void combo_rows(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const size_t w = f.size_x;
    const color_type *source = step.source;
    color_type *destination = step.destination;
    double t[3][strip_pixels + 2];
    for (size_t y = b; y < e; ++y) {
        color_type *out = destination + y * w;
        out[0] = out[1] = out[w - 2] = out[w - 1] = black;
    }
    for (size_t x0 = 2; x0 + 2 < w; x0 += strip_pixels) {
        const size_t len = w - 2 - x0 < strip_pixels ? w - 2 - x0 : strip_pixels;
        auto fill = [&](size_t row) { k.third_length(source + row * w + x0 - 1, t[row % 3], len + 2); };
        fill(b - 1);
        fill(b);
        for (size_t y = b; y < e; ++y) {
            fill(y + 1);
            k.direction(t[(y - 1) % 3] + 1, t[y % 3] + 1, t[(y + 1) % 3] + 1, destination + y * w + x0, len);
        }
    }
}

// The change of every pixel, the difference picture or the copy, and the
// update of last_frame; the integer totals are added to step.sums.
void track_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const kernels::row_kernels &k = kernels::active_kernels();
    const size_t w = f.size_x;
    uint64_t t = 0, mx = 0, my = 0;
    for (size_t y = b; y < e; ++y) {
        uint64_t row_total = 0;
        k.track(step.source + y * w, f.last_frame + y * w, step.destination + y * w, w, 0, step.diff,
                &row_total, &mx);
        t += row_total;
        my += y * row_total;
    }
    step.sums[0] += t;
    step.sums[1] += mx;
    step.sums[2] += my;
}

}  // namespace

bool gauss_rows(const frame_set &f, filter_rows &step, const color_type *source, color_type *destination) {
    if (!kernels::gauss_quotient_exact() || f.size_x < 5 || f.size_y < 5) return false;
    convolution_step(f, step, convolution::gauss, source, destination, 0);
    return true;
}

bool gauss_frame(const frame_set &f, const color_type *source, color_type *destination) {
    filter_rows step;
    if (!gauss_rows(f, step, source, destination)) return false;
    run_whole(step);
    return true;
}

double color_size(color_type colour) { return kernels::length_of_sum(kernels::square_sum(colour)); }

bool transform_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                    const double *kernel, unsigned int width, double factor, double offset) {
    int int_offset = 0;
    const convolution kind = (source && destination && kernel && source != destination)
                                 ? recognise(kernel, width, factor, offset, int_offset)
                                 : convolution::none;
    if (kind == convolution::none || f.size_x < width || f.size_y < width) return false;
    convolution_step(f, step, kind, source, destination, int_offset);
    return true;
}

void transform_frame(const frame_set &f, color_type *source, color_type *destination, const double *kernel,
                     unsigned int width, double factor, double offset) {
    filter_rows step;
    if (transform_rows(f, step, source, destination, kernel, width, factor, offset))
        run_whole(step);
    else
        transform_frame_reference(f, source, destination, kernel, width, factor, offset);
}

bool general_filter_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                         const double *kernel_1, const double *kernel_2, unsigned int /*width*/,
                         double scale) {
    if (!source || !destination || !kernel_1 || !kernel_2 || source == destination || f.size_x < 3 ||
        f.size_y < 3 || !std::isfinite(scale) || !same_table(kernel_1, sobel_x, 9) ||
        !same_table(kernel_2, sobel_y, 9))
        return false;
    step = filter_rows(f, sobel_rows, source, destination, 1, f.size_y - 1, 1);
    step.scale = scale;
    return true;
}

void general_filter_frame(const frame_set &f, color_type *source, color_type *destination,
                          const double *kernel_1, const double *kernel_2, unsigned int width, double scale) {
    filter_rows step;
    if (general_filter_rows(f, step, source, destination, kernel_1, kernel_2, width, scale))
        run_whole(step);
    else
        general_filter_frame_reference(f, source, destination, kernel_1, kernel_2, width, scale);
}

bool edge_detect_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination) {
    if (!source || !destination || source == destination || f.size_x < 2 || f.size_y < 2) return false;
    step = filter_rows(f, edge_rows, source, destination, 0, f.size_y - 1, 1);
    return true;
}

void edge_detect_frame(const frame_set &f, color_type *source, color_type *destination) {
    filter_rows step;
    if (edge_detect_rows(f, step, source, destination))
        run_whole(step);
    else
        edge_detect_frame_reference(f, source, destination);
}

bool threshold_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                    double threshold) {
    if (!source || !destination || source == destination) return false;
    step = filter_rows(f, threshold_band, source, destination, 0, f.size_y, 0);
    step.above = kernels::first_sum_above(threshold);
    return true;
}

void threshold_frame(const frame_set &f, color_type *source, color_type *destination, double threshold) {
    filter_rows step;
    if (threshold_rows(f, step, source, destination, threshold))
        run_whole(step);
    else
        threshold_frame_reference(f, source, destination, threshold);
}

bool average_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination) {
    if (!source || !destination || !f.last_frame || source == destination || source == f.last_frame ||
        destination == f.last_frame)
        return false;
    step = filter_rows(f, average_band, source, destination, 0, f.size_y, 0);
    return true;
}

void average_frame(const frame_set &f, color_type *source, color_type *destination) {
    filter_rows step;
    if (average_rows(f, step, source, destination))
        run_whole(step);
    else
        average_frame_reference(f, source, destination);
}

void copy_rows(const frame_set &f, filter_rows &step, const color_type *source, color_type *destination) {
    step = filter_rows(f, copy_band, const_cast<color_type *>(source), destination, 0, f.size_y, 0);
}

bool erode_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                double threshold) {
    if (!source || !destination || !f.save_frame || source == destination || destination == f.save_frame ||
        f.size_x < 3 || f.size_y < 3)
        return false;
    step = filter_rows(f, erode_band, source, destination, 0, f.size_y, 1);
    step.in_order = true;
    step.above = kernels::first_sum_above(threshold);
    step.below = kernels::first_sum_not_below(threshold);
    return true;
}

void erode_frame(const frame_set &f, color_type *source, color_type *destination, double threshold) {
    filter_rows step;
    if (erode_rows(f, step, source, destination, threshold))
        run_whole(step);
    else
        erode_frame_reference(f, source, destination, threshold);
}

bool reduceedge_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                     double threshold, uint8_t *columns) {
    if (!source || !destination || source == destination || f.size_x == 0 || f.size_y == 0 || !columns)
        return false;
    step = filter_rows(f, reduce_band, source, destination, 0, f.size_y, 0);
    step.in_order = true;
    step.above = kernels::first_sum_above(threshold);
    step.below = kernels::first_sum_not_below(threshold);
    step.columns = columns;
    return true;
}

// Both passes of the reference, on colour-length classes: the row pass in
// bands of rows, then the column pass in bands of column strips, each strip
// carrying the reference class of its columns down the frame.
void reduceedge_frame(const frame_set &f, color_type *source, color_type *destination, double threshold) {
    if (!source || !destination || source == destination || f.size_x == 0 || f.size_y == 0) {
        reduceedge_frame_reference(f, source, destination, threshold);
        return;
    }
    filter_rows step;
    step = filter_rows(f, nullptr, source, destination, 0, f.size_y, 0);
    step.above = kernels::first_sum_above(threshold);
    step.below = kernels::first_sum_not_below(threshold);
    auto rows = [&](unsigned int b, unsigned int e) { reduce_along_rows(step, b, e); };
    run_bands(0, f.size_y, frame_pixels(f), rows);

    const size_t w = f.size_x;
    const unsigned int strips = static_cast<unsigned int>((w + strip_pixels - 1) / strip_pixels);
    auto columns = [&](unsigned int b, unsigned int e) {
        uint8_t reference[strip_pixels];
        for (size_t s = b; s < e; ++s) {
            const size_t x0 = s * strip_pixels;
            reduce_down_columns(step, x0, w - x0 < strip_pixels ? w - x0 : strip_pixels, 0, f.size_y,
                                reference);
        }
    };
    run_bands(0, strips, frame_pixels(f), columns);
}

bool combo_edgedetect_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                           double /*threshold*/) {
    if (!source || !destination || source == destination || f.size_x < 5 || f.size_y < 5) return false;
    step = filter_rows(f, combo_rows, source, destination, 2, f.size_y - 2, 1);
    return true;
}

void combo_edgedetect_frame(const frame_set &f, color_type *source, color_type *destination,
                            double threshold) {
    filter_rows step;
    if (combo_edgedetect_rows(f, step, source, destination, threshold))
        run_whole(step);
    else
        combo_edgedetect_frame_reference(f, source, destination, threshold);
}

// Fills [x1, x2) x [y1, y2) with red after clamping every bound to the last
// index, so the last row and column are never filled and any coordinates
// stay inside the frame.
void draw_box(const frame_set &f, unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2,
              color_type *frame) {
    if (!frame || f.size_x == 0 || f.size_y == 0) return;
    if (x1 > f.size_x - 1) x1 = f.size_x - 1;
    if (x2 > f.size_x - 1) x2 = f.size_x - 1;
    if (y1 > f.size_y - 1) y1 = f.size_y - 1;
    if (y2 > f.size_y - 1) y2 = f.size_y - 1;
    for (unsigned int y = y1; y < y2; ++y) {
        for (unsigned int x = x1; x < x2; ++x) frame[static_cast<size_t>(y) * f.size_x + x] = red;
    }
}

bool target_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                 bool d_frame, std::atomic<uint64_t> *sums) {
    if (!source || !destination || !f.last_frame || !sums || source == destination ||
        source == f.last_frame || destination == f.last_frame || f.size_x >= (1u << 22))
        return false;
    step = filter_rows(f, track_band, source, destination, 0, f.size_y, 0);
    step.diff = d_frame;
    step.sums = sums;
    for (int i = 0; i < 3; ++i) sums[i] = 0;
    return true;
}

// The crosshair and box at the centre of change, once every row is done.
void target_finish(const filter_rows &step) {
    const frame_set &f = *step.frame;
    const uint64_t sum = step.sums[0].load();
    if (sum <= 10000) return;
    const size_t w = f.size_x;
    color_type *destination = step.destination;
    const unsigned int cx = static_cast<unsigned int>(step.sums[1].load() / sum);
    const unsigned int cy = static_cast<unsigned int>(step.sums[2].load() / sum);
    for (size_t y = 0; y < f.size_y; ++y) destination[y * w + cx].g = 255;
    for (size_t x = 0; x < w; ++x) destination[cy * w + x].g = 255;
    draw_box(f, cx - 5, cy - 5, cx + 5, cy + 5, destination);
}

void target_frame(const frame_set &f, color_type *source, color_type *destination, bool d_frame) {
    if (!source || !destination || !f.last_frame) return;
    std::atomic<uint64_t> sums[3];
    filter_rows step;
    if (!target_rows(f, step, source, destination, d_frame, sums)) {
        target_frame_reference(f, source, destination, d_frame);
        return;
    }
    run_whole(step);
    target_finish(step);
}
