// The Canny edge detector's reference version: 5 x 5 Gaussian smoothing,
// Sobel gradients of the colour length, non-maximum suppression across the
// quantised gradient direction (non_maximal, canny.cpp), and red edges
// painted over the unfiltered frame inside a black border, in frame order.
#include <cmath>
#include <cstddef>
#include <cstring>

#include "filters/canny.h"
#include "kernels/steps.h"

namespace {

const color_type black = {0, 0, 0};
const color_type red = {0, 0, 255};

// clang-format off
const double gauss_blur[25] = {
    2, 4,  5,  4,  2,
    4, 9,  12, 9,  4,
    5, 12, 15, 12, 5,
    4, 9,  12, 9,  4,
    2, 4,  5,  4,  2,
};
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

const double gauss_factor = 1.0 / 159.0;  // 0.006289308176100629

size_t frame_pixels(const frame_set &f) { return static_cast<size_t>(f.size_x) * f.size_y; }

}  // namespace

// Gradient magnitude and direction of the colour length for every interior
// pixel; the border entries are never written.
void calulate_gradients_reference(const frame_set &f, color_type *image) {
    if (!image || !canny_buffers_ready(f)) return;
    if (f.size_x < 3 || f.size_y < 3) return;

    for (unsigned int y = 1; y + 1 < f.size_y; ++y) {
        for (unsigned int x = 1; x + 1 < f.size_x; ++x) {
            const size_t i = static_cast<size_t>(y) * f.size_x + x;
            const size_t first = i - f.size_x - 1;
            double gx = 0.0;
            double gy = 0.0;
            for (int k = 0; k < 9; ++k) {
                double v = color_size(image[first + static_cast<size_t>(k / 3) * f.size_x + k % 3]);
                gx += sobel_x[k] * v;
                gy += sobel_y[k] * v;
            }
            f.grad_mag[i] = static_cast<uint32_t>(std::fabs(gx) + std::fabs(gy));
            f.grad_ratio[i] = kernels::fixed_ratio(gx, gy);
        }
    }
}

// Smooths the source in place (through the destination), finds the edges of
// the smoothed picture and paints them red over save_frame, with a one-pixel
// black frame. Only the threshold is used. Without its buffers (or save_frame),
// or on a frame smaller than 3 x 3, the picture passes through unchanged: the
// source is copied to the destination and not smoothed. Source and
// destination must be distinct; the same buffer twice is refused.
void canny_edge_reference(const frame_set &f, color_type *source, color_type *destination, double threshold, double, double) {
    if (!source || !destination || source == destination) return;
    const size_t bytes = frame_pixels(f) * sizeof(color_type);
    if (!canny_buffers_ready(f) || !f.save_frame || f.size_x < 3 || f.size_y < 3) {
        std::memcpy(destination, source, bytes);
        return;
    }

    transform_frame_reference(f, source, destination, gauss_blur, 5, gauss_factor, 0.0);
    std::memcpy(source, destination, bytes);
    calulate_gradients_reference(f, source);

    const size_t w = f.size_x;
    for (size_t x = 0; x < w; ++x) destination[x] = black;
    for (unsigned int y = 1; y + 1 < f.size_y; ++y) {
        const size_t row = y * w;
        destination[row] = black;
        for (size_t x = 1; x + 1 < w; ++x) {
            const size_t i = row + x;
            unsigned int strength = static_cast<double>(f.grad_mag[i]) > threshold ? f.grad_mag[i] + 128 : 0;
            unsigned char e = non_maximal(f, static_cast<unsigned int>(i), strength);
            destination[i] = e != 0 ? red : f.save_frame[i];
        }
        destination[row + w - 1] = black;
    }
    const size_t last_row = (static_cast<size_t>(f.size_y) - 1) * w;
    for (size_t x = 0; x < w; ++x) destination[last_row + x] = black;
}
