// Stateless whole-frame filters: the reference versions. Each filter is a
// plain pass over the frame in frame order, written for clarity and
// bit-exactness; the per-pixel steps come from kernels/steps.h, which the
// portable row kernels share. The public functions (filters.cpp) run row
// kernels where they apply and this code everywhere else; the tests hold
// the two to the same bytes.
//
// Every filter is safe on its own at any geometry and with missing buffers:
// it returns without writing when a buffer it needs is null or the frame is
// too small for its window, and never reads or writes outside a frame.
#include "filters/filters.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kernels/steps.h"

namespace {

const color_type black = {0, 0, 0};
const color_type white = {255, 255, 255};
const color_type red = {0, 0, 255};

// clang-format off
const double sobel_x[9] = {
    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,
};
const double sobel_y[9] = {
    -1, -2, -1,
    0,  0,  0,
    1,  2,  1,
};
// clang-format on

// Pixel (x, y) of a frame of the current geometry.
inline color_type &at(const frame_set &f, color_type *frame, size_t x, size_t y) { return frame[y * f.size_x + x]; }

inline size_t frame_pixels(const frame_set &f) { return static_cast<size_t>(f.size_x) * f.size_y; }

inline size_t frame_bytes(const frame_set &f) { return frame_pixels(f) * sizeof(color_type); }

using kernels::truncate_to_byte;

inline int channel(const color_type &p, int c) { return c == 0 ? p.r : (c == 1 ? p.g : p.b); }

inline void set_channel(color_type &p, int c, unsigned char v) {
    if (c == 0)
        p.r = v;
    else if (c == 1)
        p.g = v;
    else
        p.b = v;
}

// Lengths exactly equal to the threshold never cross it.
inline bool crosses(double reference, double current, double threshold) {
    return (reference > threshold && current < threshold) || (reference < threshold && current > threshold);
}

}  // namespace

// N x N convolution. Rows h .. size_y-h-1 are written; in them columns
// 0 .. h-1 and size_x-h .. size_x-1 become black. The other rows keep what the
// destination held. Even or zero widths and frames narrower or lower than N
// write nothing.
void transform_frame_reference(const frame_set &f, color_type *source, color_type *destination, const double *kernel, unsigned int width,
                     double factor, double offset) {
    if (!source || !destination || !kernel) return;
    if (width == 0 || width % 2 == 0) return;
    if (f.size_x < width || f.size_y < width) return;
    const unsigned int n = width;
    const unsigned int h = (n - 1) / 2;

    for (unsigned int y = h; y <= f.size_y - h - 1; ++y) {
        for (unsigned int x = 0; x < h; ++x) at(f, destination, x, y) = black;
        for (unsigned int x = h; x <= f.size_x - h - 1; ++x) {
            color_type out;
            for (int c = 0; c < 3; ++c) {
                double sum = 0.0;
                for (unsigned int m = 0; m < n; ++m) {
                    for (unsigned int k = 0; k < n; ++k) {
                        sum += kernel[m * n + k] * channel(at(f, source, x - h + k, y - h + m), c);
                    }
                }
                set_channel(out, c, truncate_to_byte(factor * sum + offset));
            }
            at(f, destination, x, y) = out;
        }
        for (unsigned int x = f.size_x - h; x < f.size_x; ++x) at(f, destination, x, y) = black;
    }
}

// Two 3 x 3 kernels: each tap is scaled first, then weighted by both kernels;
// the output is 8 * trunc(|P| + |Q|), saturated. The width is ignored. The
// one-pixel border of the destination is never written.
void general_filter_frame_reference(const frame_set &f, color_type *source, color_type *destination, const double *kernel_1,
                          const double *kernel_2, unsigned int /*width*/, double scale) {
    if (!source || !destination || !kernel_1 || !kernel_2) return;
    if (f.size_x < 3 || f.size_y < 3) return;

    for (unsigned int y = 1; y + 1 < f.size_y; ++y) {
        for (unsigned int x = 1; x + 1 < f.size_x; ++x) {
            color_type out;
            for (int c = 0; c < 3; ++c) {
                double p = 0.0;
                double q = 0.0;
                int l = 0;
                for (unsigned int wy = y - 1; wy <= y + 1; ++wy) {
                    for (unsigned int wx = x - 1; wx <= x + 1; ++wx, ++l) {
                        double t = scale * channel(at(f, source, wx, wy), c);
                        p += kernel_1[l] * t;
                        q += kernel_2[l] * t;
                    }
                }
                double w = std::fabs(p) + std::fabs(q);
                // trunc(w) * 8 exceeds 255 exactly when w >= 32.
                unsigned char v = 255;
                if (!(w >= 0.0))
                    v = 0;  // NaN from a non-finite kernel
                else if (w < 32.0)
                    v = static_cast<unsigned char>(static_cast<int>(w) * 8);
                set_channel(out, c, v);
            }
            at(f, destination, x, y) = out;
        }
    }
}

// 5 * (|right difference| + |lower difference|) per channel, saturated at 255.
// The last row and the last column of the destination are never written.
void edge_detect_frame_reference(const frame_set &f, color_type *source, color_type *destination) {
    if (!source || !destination) return;
    if (f.size_x == 0 || f.size_y == 0) return;

    for (unsigned int y = 0; y + 1 < f.size_y; ++y) {
        for (unsigned int x = 0; x + 1 < f.size_x; ++x) {
            const color_type &p = at(f, source, x, y);
            const color_type &right = at(f, source, x + 1, y);
            const color_type &below = at(f, source, x, y + 1);
            color_type out;
            for (int c = 0; c < 3; ++c) {
                set_channel(out, c, kernels::edge_value(channel(p, c), channel(right, c), channel(below, c)));
            }
            at(f, destination, x, y) = out;
        }
    }
}

// Bright pixels (length strictly above the threshold) black, the rest white.
void threshold_frame_reference(const frame_set &f, color_type *source, color_type *destination, double threshold) {
    if (!source || !destination) return;
    const size_t n = frame_pixels(f);
    for (size_t i = 0; i < n; ++i) destination[i] = color_size(source[i]) > threshold ? black : white;
}

// Mean of the source and last_frame, remainder dropped; last_frame then takes
// the source (the stage's input, not its output). Without last_frame nothing
// is written.
void average_frame_reference(const frame_set &f, color_type *source, color_type *destination) {
    if (!source || !destination || !f.last_frame) return;
    const size_t n = frame_pixels(f);
    for (size_t i = 0; i < n; ++i) {
        const color_type &s = source[i];
        const color_type &l = f.last_frame[i];
        destination[i].b = static_cast<unsigned char>((s.b + l.b) / 2);
        destination[i].g = static_cast<unsigned char>((s.g + l.g) / 2);
        destination[i].r = static_cast<unsigned char>((s.r + l.r) / 2);
    }
    if (f.last_frame != source) std::memcpy(f.last_frame, source, frame_bytes(f));
}

// Red marks over save_frame between a neighbour above the threshold (left,
// above, above-left) and the opposite neighbour below it. The marks already
// placed in the destination (red byte 255) block their right, lower and
// lower-right neighbours, so the pass must run in frame order. Every pixel is
// written; without save_frame nothing is.
void erode_frame_reference(const frame_set &f, color_type *source, color_type *destination, double threshold) {
    if (!source || !destination || !f.save_frame) return;
    if (f.size_x == 0 || f.size_y == 0) return;
    const double t = threshold;

    for (unsigned int x = 0; x < f.size_x; ++x) at(f, destination, x, 0) = at(f, f.save_frame, x, 0);

    for (unsigned int y = 1; y + 1 < f.size_y; ++y) {
        at(f, destination, 0, y) = at(f, f.save_frame, 0, y);
        for (unsigned int x = 1; x + 1 < f.size_x; ++x) {
            bool horizontal = color_size(at(f, source, x - 1, y)) > t && color_size(at(f, source, x + 1, y)) < t &&
                              at(f, destination, x - 1, y).r != 255;
            bool vertical = color_size(at(f, source, x, y - 1)) > t && color_size(at(f, source, x, y + 1)) < t &&
                            at(f, destination, x, y - 1).r != 255;
            bool diagonal = color_size(at(f, source, x - 1, y - 1)) > t &&
                            color_size(at(f, source, x + 1, y + 1)) < t &&
                            at(f, destination, x - 1, y - 1).r != 255;
            at(f, destination, x, y) = (horizontal || vertical || diagonal) ? red : at(f, f.save_frame, x, y);
        }
        at(f, destination, f.size_x - 1, y) = at(f, f.save_frame, f.size_x - 1, y);
    }

    for (unsigned int x = 0; x < f.size_x; ++x) at(f, destination, x, f.size_y - 1) = at(f, f.save_frame, x, f.size_y - 1);
}

// White at the first pixel after each passage of the colour length through
// the threshold, along rows and then along columns; black elsewhere. The
// reference length moves only at a marked pixel.
void reduceedge_frame_reference(const frame_set &f, color_type *source, color_type *destination, double threshold) {
    if (!source || !destination) return;
    if (f.size_x == 0 || f.size_y == 0) return;

    for (unsigned int y = 0; y < f.size_y; ++y) {
        double reference = color_size(at(f, source, 0, y));
        at(f, destination, 0, y) = black;
        for (unsigned int x = 1; x < f.size_x; ++x) {
            double current = color_size(at(f, source, x, y));
            if (crosses(reference, current, threshold)) {
                at(f, destination, x, y) = white;
                reference = current;
            } else {
                at(f, destination, x, y) = black;
            }
        }
    }

    for (unsigned int x = 0; x < f.size_x; ++x) {
        double reference = color_size(at(f, source, x, 0));
        for (unsigned int y = 1; y < f.size_y; ++y) {
            double current = color_size(at(f, source, x, y));
            if (crosses(reference, current, threshold)) {
                at(f, destination, x, y) = white;
                reference = current;
            }
        }
    }
}

// Direction of the Sobel gradient of the colour length, folded into a half
// turn and drawn as grey: (atan(Gy/Gx) + pi/2) / pi * 255, 0 where Gx is 0.
// Rows 2 .. size_y-3 are written (columns 0, 1, size_x-2, size_x-1 black);
// the other rows are left alone. Frames below 5 x 5 are not written at all.
// The threshold has no effect.
void combo_edgedetect_frame_reference(const frame_set &f, color_type *source, color_type *destination, double /*threshold*/) {
    if (!source || !destination) return;
    if (f.size_x < 5 || f.size_y < 5) return;

    for (unsigned int y = 2; y + 2 < f.size_y; ++y) {
        at(f, destination, 0, y) = black;
        at(f, destination, 1, y) = black;
        for (unsigned int x = 2; x + 2 < f.size_x; ++x) {
            double gx = 0.0;
            double gy = 0.0;
            int l = 0;
            for (unsigned int wy = y - 1; wy <= y + 1; ++wy) {
                for (unsigned int wx = x - 1; wx <= x + 1; ++wx, ++l) {
                    double length = color_size(at(f, source, wx, wy));
                    gx += length * sobel_x[l] / 3.0;
                    gy += length * sobel_y[l] / 3.0;
                }
            }
            unsigned char v = 0;
            if (gx != 0.0) v = kernels::direction_level_reference(gy / gx);
            at(f, destination, x, y) = color_type{v, v, v};
        }
        at(f, destination, f.size_x - 2, y) = black;
        at(f, destination, f.size_x - 1, y) = black;
    }
}

// Motion tracking. Each pixel whose colour moved by at least 44.2 since
// last_frame adds its truncated distance m to the total W and m*x, m*y to the
// moments; above a total of 10000 the centre gets a green crosshair and a
// red 10 x 10 square. Under d_frame the picture is the change itself.
// The moments are 64-bit so that large frames cannot overflow them.
void target_frame_reference(const frame_set &f, color_type *source, color_type *destination, bool d_frame) {
    if (!source || !destination || !f.last_frame) return;

    uint64_t total = 0;
    uint64_t moment_x = 0;
    uint64_t moment_y = 0;

    for (unsigned int y = 0; y < f.size_y; ++y) {
        for (unsigned int x = 0; x < f.size_x; ++x) {
            const color_type &s = at(f, source, x, y);
            const color_type &l = at(f, f.last_frame, x, y);
            const unsigned int m = kernels::tracking_change(s, l);
            if (d_frame) at(f, destination, x, y) = color_type{0, static_cast<unsigned char>(255 * m / 442), 0};
            moment_x += static_cast<uint64_t>(x) * m;
            moment_y += static_cast<uint64_t>(y) * m;
            total += m;
        }
    }

    // (The guards only keep a misuse with shared buffers from overlapping copies.)
    if (f.last_frame != source) std::memcpy(f.last_frame, source, frame_bytes(f));
    if (!d_frame && destination != source) std::memcpy(destination, source, frame_bytes(f));

    if (total > 10000) {
        unsigned int cx = static_cast<unsigned int>(moment_x / total);
        unsigned int cy = static_cast<unsigned int>(moment_y / total);
        for (unsigned int y = 0; y < f.size_y; ++y) at(f, destination, cx, y).g = 255;
        for (unsigned int x = 0; x < f.size_x; ++x) at(f, destination, x, cy).g = 255;
        // Unsigned on purpose: near the low edges cx - 5 wraps and is clamped
        // to the last index, so the square is dropped but the lines remain.
        draw_box(f, cx - 5, cy - 5, cx + 5, cy + 5, destination);
    }
}
