// Canny edge detector: 5 x 5 Gaussian smoothing, Sobel gradients of the colour
// length, non-maximum suppression across the quantised gradient direction,
// and red edges painted over the unfiltered frame inside a black border.
#include "filters/canny.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "display/display.h"
#include "pipeline/process.h"
#include "shell/utility.h"

uint32_t *grad_mag = nullptr;
int32_t *grad_ratio = nullptr;

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

const double gauss_factor = 1.0 / 159.0;   // 0.006289308176100629
const double ratio_scale = 1.0 / 65536.0;  // 16.16 fixed point back to a quotient
const double steep_limit = 2.1943;
const double diagonal_limit = 0.4142;

// Pixel counts the two buffers were made for; the buffers are only used
// while they match the current geometry, so a geometry change without a new
// canny_start can never index past them.
size_t mag_pixels = 0;
size_t ratio_pixels = 0;

size_t frame_pixels() { return static_cast<size_t>(size_x) * size_y; }

bool buffers_ready() {
    return grad_mag && grad_ratio && mag_pixels == frame_pixels() && ratio_pixels == frame_pixels();
}

// |gy| * 65536 / gx truncated toward zero. A quotient too large for 32 bits
// (gx tiny but not zero) saturates with the sign of gx: it stays steep, and
// like every other ratio it carries the sign of gx alone.
int32_t fixed_ratio(double gx, double gy) {
    if (gx == 0.0) return 0;
    double q = std::fabs(gy) * 65536.0 / gx;
    if (q >= 2147483648.0) return INT32_MAX;
    if (q <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(q);
}

}  // namespace

void canny_start() {
    const size_t n = frame_pixels();
    if (grad_mag) {
        buffer_free(grad_mag);
        grad_mag = nullptr;
        mag_pixels = 0;
    }
    grad_mag = static_cast<uint32_t *>(buffer_alloc(n * sizeof(uint32_t)));
    if (!grad_mag) {
        add_line("Unable to create grad_mag buffer");
        return;
    }
    mag_pixels = n;

    if (grad_ratio) {
        buffer_free(grad_ratio);
        grad_ratio = nullptr;
        ratio_pixels = 0;
    }
    grad_ratio = static_cast<int32_t *>(buffer_alloc(n * sizeof(int32_t)));
    if (!grad_ratio) {
        add_line("Unable to create grad_ratio buffer");
        return;
    }
    ratio_pixels = n;
}

void canny_stop() {
    if (grad_mag) {
        buffer_free(grad_mag);
        grad_mag = nullptr;
    }
    mag_pixels = 0;
    if (grad_ratio) {
        buffer_free(grad_ratio);
        grad_ratio = nullptr;
    }
    ratio_pixels = 0;
}

// Gradient magnitude and direction of the colour length for every interior
// pixel; the border entries are never written.
void calulate_gradients(color_type *image) {
    if (!image || !buffers_ready()) return;
    if (size_x < 3 || size_y < 3) return;

    for (unsigned int y = 1; y + 1 < size_y; ++y) {
        for (unsigned int x = 1; x + 1 < size_x; ++x) {
            const size_t i = static_cast<size_t>(y) * size_x + x;
            const size_t first = i - size_x - 1;
            double gx = 0.0;
            double gy = 0.0;
            for (int k = 0; k < 9; ++k) {
                double v = color_size(image[first + static_cast<size_t>(k / 3) * size_x + k % 3]);
                gx += sobel_x[k] * v;
                gy += sobel_y[k] * v;
            }
            grad_mag[i] = static_cast<uint32_t>(std::fabs(gx) + std::fabs(gy));
            grad_ratio[i] = fixed_ratio(gx, gy);
        }
    }
}

// The strength (saturated at 255) when pixel `index` is a strict maximum
// across its gradient direction, else 0. The tests form a chain: a failed
// direction test falls through to the later ones.
unsigned char non_maximal(unsigned int index, unsigned int strength) {
    if (strength == 0) return 0;
    // Only interior pixels have all eight neighbours.
    if (!buffers_ready() || size_x < 3 || size_y < 3) return 0;
    const size_t i = index;
    const size_t w = size_x;
    const size_t x = i % w;
    const size_t y = i / w;
    if (x < 1 || x + 1 >= size_x || y < 1 || y + 1 >= size_y) return 0;

    const unsigned char result = strength > 255 ? 255 : static_cast<unsigned char>(strength);
    const uint32_t m = grad_mag[i];
    const double r = grad_ratio[i] * ratio_scale;

    if (r > steep_limit || r < -steep_limit) {
        if (m > grad_mag[i - w] && m > grad_mag[i + w]) return result;
    } else if (r > diagonal_limit) {
        if (m > grad_mag[i - w + 1] && m > grad_mag[i + w - 1]) return result;
    }
    if (r < -diagonal_limit && m > grad_mag[i - w - 1] && m > grad_mag[i + w + 1]) return result;
    if (m > grad_mag[i - 1] && m > grad_mag[i + 1]) return result;
    return 0;
}

// Smooths the source in place (through the destination), finds the edges of
// the smoothed picture and paints them red over save_frame, with a one-pixel
// black frame. Only the threshold is used. Without its buffers (or save_frame),
// or on a frame smaller than 3 x 3, the picture passes through unchanged: the
// source is copied to the destination and not smoothed. Source and
// destination must be distinct; the same buffer twice is refused.
void canny_edge(color_type *source, color_type *destination, double threshold, double, double) {
    if (!source || !destination || source == destination) return;
    const size_t bytes = frame_pixels() * sizeof(color_type);
    if (!buffers_ready() || !save_frame || size_x < 3 || size_y < 3) {
        std::memcpy(destination, source, bytes);
        return;
    }

    transform_frame(source, destination, gauss_blur, 5, gauss_factor, 0.0);
    std::memcpy(source, destination, bytes);
    calulate_gradients(source);

    const size_t w = size_x;
    for (size_t x = 0; x < w; ++x) destination[x] = black;
    for (unsigned int y = 1; y + 1 < size_y; ++y) {
        const size_t row = y * w;
        destination[row] = black;
        for (size_t x = 1; x + 1 < w; ++x) {
            const size_t i = row + x;
            unsigned int strength = static_cast<double>(grad_mag[i]) > threshold ? grad_mag[i] + 128 : 0;
            unsigned char e = non_maximal(static_cast<unsigned int>(i), strength);
            destination[i] = e != 0 ? red : save_frame[i];
        }
        destination[row + w - 1] = black;
    }
    const size_t last_row = (static_cast<size_t>(size_y) - 1) * w;
    for (size_t x = 0; x < w; ++x) destination[last_row + x] = black;
}
