// The public Canny functions: three passes over row bands on the worker pool
// (smoothing; copy-back with the gradients; suppression and the output),
// each finishing before the next reads its rows. Without their buffers, with
// shared buffers or on frames below 5 x 5, the reference runs instead.
#include <cstring>

#include "filters/canny.h"
#include "filters/fast_rows.h"
#include "filters/workers.h"
#include "pipeline/process.h"

namespace {

const color_type black = {0, 0, 0};
const size_t strip_pixels = 512;

// Gradients of rows [b, e) (all interior) of `image`.
void gradient_rows(const color_type *image, unsigned int b, unsigned int e) {
    const fast::row_kernels &k = fast::active_kernels();
    const size_t w = size_x;
    double l[3][strip_pixels + 2];
    for (size_t x0 = 1; x0 + 1 < w; x0 += strip_pixels) {
        const size_t len = w - 1 - x0 < strip_pixels ? w - 1 - x0 : strip_pixels;
        auto fill = [&](size_t row) { k.length(image + row * w + x0 - 1, l[row % 3], len + 2); };
        fill(b - 1);
        fill(b);
        for (size_t y = b; y < e; ++y) {
            fill(y + 1);
            k.gradient(l[(y - 1) % 3] + 1, l[y % 3] + 1, l[(y + 1) % 3] + 1, grad_mag + y * w + x0,
                       grad_ratio + y * w + x0, len);
        }
    }
}

}  // namespace

void calulate_gradients(color_type *image) {
    if (!image || !canny_buffers_ready() || size_x < 3 || size_y < 3) {
        calulate_gradients_reference(image);
        return;
    }
    auto band = [&](unsigned int b, unsigned int e) { gradient_rows(image, b, e); };
    run_bands(1, size_y - 1, static_cast<size_t>(size_x) * size_y, band);
}

void canny_edge(color_type *source, color_type *destination, double threshold, double second, double third) {
    if (!source || !destination || source == destination || !save_frame || save_frame == source ||
        save_frame == destination || !canny_buffers_ready() || size_x < 5 || size_y < 5) {
        canny_edge_reference(source, destination, threshold, second, third);
        return;
    }
    const size_t w = size_x, h = size_y, pixels = w * h;
    if (!fast::gauss_frame(source, destination)) {
        canny_edge_reference(source, destination, threshold, second, third);
        return;
    }

    // The source takes the smoothed frame; the gradients read the same rows
    // from the destination, which no band writes in this pass.
    auto smoothed = [&](unsigned int b, unsigned int e) {
        std::memcpy(source + b * w, destination + b * w, (e - b) * w * sizeof(color_type));
        const unsigned int gb = b < 1 ? 1 : b, ge = e > h - 1 ? static_cast<unsigned int>(h - 1) : e;
        if (gb < ge) gradient_rows(destination, gb, ge);
    };
    run_bands(0, size_y, pixels, smoothed);

    const fast::row_kernels &k = fast::active_kernels();
    const int64_t bound = fast::magnitude_bound(threshold);
    const color_type *save = save_frame;
    auto output = [&](unsigned int b, unsigned int e) {
        for (size_t y = b; y < e; ++y) {
            color_type *out = destination + y * w;
            if (y == 0 || y == h - 1) {
                for (size_t x = 0; x < w; ++x) out[x] = black;
                continue;
            }
            out[0] = black;
            k.suppress(grad_mag + y * w + 1, grad_ratio + y * w + 1, w, w - 2, bound, save + y * w + 1, out + 1);
            out[w - 1] = black;
        }
    };
    run_bands(0, size_y, pixels, output);
}
