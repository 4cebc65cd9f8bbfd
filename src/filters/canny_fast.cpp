// The public Canny functions over row bands on the worker pool. canny_edge:
// 1. the Gaussian, source into destination;
// 2. the smoothed frame copied back into the source;
// 3. per band, the gradients of each row from the (now unchanging) source,
//    and the suppression and output of the row before it, while its
//    neighbours' gradients are still in the cache;
// 4. the suppression of each band's first and last rows, whose neighbours
//    another band computed in step 3.
// Each step finishes before the next starts. Without their buffers, with
// shared buffers or on frames below 5 x 5, the reference runs instead.
#include <cstring>

#include "filters/canny.h"
#include "filters/fast_rows.h"
#include "filters/workers.h"
#include "pipeline/process.h"

namespace {

const color_type black = {0, 0, 0};

// Rows of colour lengths kept per strip of columns: wide enough that frames
// up to 2050 pixels wide are done in one strip.
const size_t strip_pixels = 2048;

// Rolling colour lengths of three rows over one strip of columns.
struct length_rows {
    double l[3][strip_pixels + 2];
    const color_type *image;
    size_t x0, len;
    void fill(const fast::row_kernels &k, size_t y) { k.length(image + y * size_x + x0 - 1, l[y % 3], len + 2); }
    void gradients(const fast::row_kernels &k, size_t y) const {
        const size_t i = y * size_x + x0;
        k.gradient(l[(y - 1) % 3] + 1, l[y % 3] + 1, l[(y + 1) % 3] + 1, grad_mag + i, grad_ratio + i, len);
    }
};

// Gradients of rows [b, e) (all interior) of `image`, strip by strip.
void gradient_rows(const color_type *image, unsigned int b, unsigned int e) {
    const fast::row_kernels &k = fast::active_kernels();
    const size_t w = size_x;
    length_rows rows;
    rows.image = image;
    for (size_t x0 = 1; x0 + 1 < w; x0 += strip_pixels) {
        rows.x0 = x0;
        rows.len = w - 1 - x0 < strip_pixels ? w - 1 - x0 : strip_pixels;
        rows.fill(k, b - 1);
        rows.fill(k, b);
        for (size_t y = b; y < e; ++y) {
            rows.fill(k, y + 1);
            rows.gradients(k, y);
        }
    }
}

// The output row y of canny_edge (y interior): black ends, and the
// suppression of its pixels.
void output_row(const fast::row_kernels &k, color_type *destination, size_t y, int64_t bound) {
    const size_t w = size_x, i = y * w;
    color_type *out = destination + i;
    out[0] = black;
    k.suppress(grad_mag + i + 1, grad_ratio + i + 1, w, w - 2, bound, save_frame + i + 1, out + 1);
    out[w - 1] = black;
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
        save_frame == destination || !canny_buffers_ready() || size_x < 5 || size_y < 5 ||
        !fast::gauss_frame(source, destination)) {
        canny_edge_reference(source, destination, threshold, second, third);
        return;
    }
    const size_t w = size_x, h = size_y, pixels = w * h;
    auto copy_back = [&](unsigned int b, unsigned int e) {
        std::memcpy(source + b * w, destination + b * w, (e - b) * w * sizeof(color_type));
    };
    run_bands(0, size_y, pixels, copy_back);

    const fast::row_kernels &k = fast::active_kernels();
    const int64_t bound = fast::magnitude_bound(threshold);
    for (size_t x = 0; x < w; ++x) destination[x] = destination[(h - 1) * w + x] = black;

    if (w - 2 > strip_pixels) {  // more than one strip: the plain order
        calulate_gradients(source);
        auto rows = [&](unsigned int b, unsigned int e) {
            for (size_t y = b; y < e; ++y) output_row(k, destination, y, bound);
        };
        run_bands(1, size_y - 1, pixels, rows);
        return;
    }
    auto inner = [&](unsigned int b, unsigned int e) {
        length_rows rows;
        rows.image = source;
        rows.x0 = 1;
        rows.len = w - 2;
        rows.fill(k, b - 1);
        rows.fill(k, b);
        for (size_t y = b; y < e; ++y) {
            rows.fill(k, y + 1);
            rows.gradients(k, y);
            if (y >= b + 2) output_row(k, destination, y - 1, bound);
        }
    };
    run_bands(1, size_y - 1, pixels, inner);
    // The same split again: each band's first and last rows.
    auto edges = [&](unsigned int b, unsigned int e) {
        output_row(k, destination, b, bound);
        if (e - 1 > b) output_row(k, destination, e - 1, bound);
    };
    run_bands(1, size_y - 1, pixels, edges);
}
