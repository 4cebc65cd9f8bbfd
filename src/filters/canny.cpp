// The Canny edge detector: its buffers, and canny_edge over row bands on
// the worker pool:
// 1. the Gaussian, source into destination;
// 2. the smoothed frame copied back into the source;
// 3. per band, strip by strip, the gradients of each row from the (now
//    unchanging) source, and the suppression and output of the row before
//    it, while its neighbours' gradients are still in the cache;
// 4. the suppression of each band's first and last rows, whose neighbours
//    another band computed in step 3, and of the last column of each strip
//    but the last (frames wider than 2050 pixels).
// Each step finishes before the next starts (the banded chain runs steps 3
// and 4 band by band as their neighbours are ready). Without their buffers, with
// shared buffers or on frames below 5 x 5, the reference (canny_reference.cpp)
// runs instead.
#include "filters/canny.h"

#include <cstring>

#include "common/buffer.h"
#include "common/workers.h"
#include "filters/gauss_rows.h"
#include "kernels/dispatch.h"
#include "kernels/exact.h"

namespace {

const color_type black = {0, 0, 0};

const double ratio_scale = 1.0 / 65536.0;  // 16.16 fixed point back to a quotient
const double steep_limit = 2.1943;
const double diagonal_limit = 0.4142;

// Rows of colour lengths kept per strip of columns: wide enough that frames
// up to 2050 pixels wide are done in one strip.
const size_t strip_pixels = 2048;
// Lengths per chunk where they are interleaved with the gradients.
const size_t length_chunk = 128;

// Rolling colour lengths of three rows over one strip of columns.
struct length_rows {
    double l[3][strip_pixels + 2];
    const frame_set *frame;
    const color_type *image;
    size_t x0, len;
    void fill(const kernels::row_kernels &k, size_t y) {
        k.length(image + y * frame->size_x + x0 - 1, l[y % 3], len + 2);
    }
    // The lengths of row y+1 and the gradients of row y, in column chunks:
    // each chunk of lengths is followed by the gradients it makes ready, so
    // that the square roots of one chunk and the gradient arithmetic of the
    // one before run side by side (they use different units). After each
    // chunk, ready(done) is told how many of the row's gradients are done.
    template <class F>
    void advance(const kernels::row_kernels &k, size_t y, F ready) {
        const frame_set &f = *frame;
        const color_type *row = image + (y + 1) * f.size_x + x0 - 1;
        double *next = l[(y + 1) % 3];
        const size_t i = y * f.size_x + x0, lengths = len + 2;
        size_t filled = 0, done = 0;
        while (filled < lengths) {
            const size_t end = filled + length_chunk < lengths ? filled + length_chunk : lengths;
            k.length(row + filled, next + filled, end - filled);
            filled = end;
            const size_t now = filled - 2;  // pixel j needs the lengths of j-1 .. j+1
            k.gradient(l[(y - 1) % 3] + 1 + done, l[y % 3] + 1 + done, next + 1 + done, f.grad_mag + i + done,
                       f.grad_ratio + i + done, now - done);
            done = now;
            ready(done);
        }
    }
};

// Gradients of rows [b, e) (all interior) of `image`, strip by strip.
void gradient_rows(const frame_set &f, const color_type *image, unsigned int b, unsigned int e) {
    const kernels::row_kernels &k = kernels::active_kernels();
    const size_t w = f.size_x;
    length_rows rows;
    rows.frame = &f;
    rows.image = image;
    for (size_t x0 = 1; x0 + 1 < w; x0 += strip_pixels) {
        rows.x0 = x0;
        rows.len = w - 1 - x0 < strip_pixels ? w - 1 - x0 : strip_pixels;
        rows.fill(k, b - 1);
        rows.fill(k, b);
        for (size_t y = b; y < e; ++y) rows.advance(k, y, [](size_t) {});
    }
}

// The output row y of canny_edge (y interior): black ends, and the
// suppression of its pixels.
void output_row(const frame_set &f, const kernels::row_kernels &k, color_type *destination, size_t y,
                int64_t bound) {
    const size_t w = f.size_x, i = y * w;
    color_type *out = destination + i;
    out[0] = black;
    k.suppress(f.grad_mag + i + 1, f.grad_ratio + i + 1, w, w - 2, bound, f.save_frame + i + 1, out + 1);
    out[w - 1] = black;
}

// The gradients of rows [b, e) (interior rows) and, as they become ready,
// the suppression of rows b + 1 .. e - 2, strip by strip, while their
// magnitudes are still in the cache. Left for band_edge_rows: the band's
// first and last rows (they need the gradients of the rows around the band)
// and the last column of every strip but the last (it needs the next
// strip's gradients).
void gradient_and_suppression_rows(const frame_set &f, const kernels::row_kernels &k,
                                   const color_type *source, color_type *destination, size_t b, size_t e,
                                   int64_t bound) {
    const size_t w = f.size_x;
    length_rows rows;
    rows.frame = &f;
    rows.image = source;
    for (size_t x0 = 1; x0 + 1 < w; x0 += strip_pixels) {
        rows.x0 = x0;
        rows.len = w - 1 - x0 < strip_pixels ? w - 1 - x0 : strip_pixels;
        const bool first = x0 == 1, last = x0 + rows.len == w - 1;
        rows.fill(k, b - 1);
        rows.fill(k, b);
        for (size_t y = b; y < e; ++y) {
            // The suppression of row y-1 follows the gradients of row y, up
            // to the pixel before the last gradient (in the last strip all
            // of it once the gradients are done: the last column's
            // magnitude is a border entry).
            const bool suppress = y >= b + 2;
            size_t shown = 0;
            if (suppress && first) destination[(y - 1) * w] = black;
            rows.advance(k, y, [&](size_t done) {
                const size_t to = last && done == rows.len ? done : done - 1;
                if (suppress && to > shown) {
                    const size_t at = (y - 1) * w + x0 + shown;
                    k.suppress(f.grad_mag + at, f.grad_ratio + at, w, to - shown, bound, f.save_frame + at,
                               destination + at);
                    shown = to;
                }
            });
            if (suppress && last) destination[(y - 1) * w + w - 1] = black;
        }
    }
}

// After gradient_and_suppression_rows over [b, e) and the bands around it:
// the band's first and last rows, and the strips' last columns between.
void band_edge_rows(const frame_set &f, const kernels::row_kernels &k, color_type *destination, size_t b,
                    size_t e, int64_t bound) {
    if (b >= e) return;
    output_row(f, k, destination, b, bound);
    if (e - 1 > b) output_row(f, k, destination, e - 1, bound);
    const size_t w = f.size_x;
    for (size_t x = strip_pixels; x + 2 < w; x += strip_pixels)
        for (size_t y = b + 1; y + 1 < e; ++y) {
            const size_t at = y * w + x;
            k.suppress(f.grad_mag + at, f.grad_ratio + at, w, 1, bound, f.save_frame + at, destination + at);
        }
}

}  // namespace

bool canny_buffers_ready(const frame_set &f) {
    return f.grad_mag && f.grad_ratio && f.mag_pixels == f.pixels() && f.ratio_pixels == f.pixels();
}

const char *canny_start(frame_set &f) {
    const size_t n = f.pixels();
    if (f.grad_mag) {
        buffer_free(f.grad_mag);
        f.grad_mag = nullptr;
        f.mag_pixels = 0;
    }
    f.grad_mag = static_cast<uint32_t *>(buffer_alloc(n * sizeof(uint32_t)));
    if (!f.grad_mag) return "Unable to create grad_mag buffer";
    f.mag_pixels = n;

    if (f.grad_ratio) {
        buffer_free(f.grad_ratio);
        f.grad_ratio = nullptr;
        f.ratio_pixels = 0;
    }
    f.grad_ratio = static_cast<int32_t *>(buffer_alloc(n * sizeof(int32_t)));
    if (!f.grad_ratio) return "Unable to create grad_ratio buffer";
    f.ratio_pixels = n;
    return nullptr;
}

void canny_stop(frame_set &f) {
    if (f.grad_mag) {
        buffer_free(f.grad_mag);
        f.grad_mag = nullptr;
    }
    f.mag_pixels = 0;
    if (f.grad_ratio) {
        buffer_free(f.grad_ratio);
        f.grad_ratio = nullptr;
    }
    f.ratio_pixels = 0;
}

// The strength (saturated at 255) when pixel `index` is a strict maximum
// across its gradient direction, else 0. The tests form a chain: a failed
// direction test falls through to the later ones.
unsigned char non_maximal(const frame_set &f, unsigned int index, unsigned int strength) {
    if (strength == 0) return 0;
    // Only interior pixels have all eight neighbours.
    if (!canny_buffers_ready(f) || f.size_x < 3 || f.size_y < 3) return 0;
    const size_t i = index;
    const size_t w = f.size_x;
    const size_t x = i % w;
    const size_t y = i / w;
    if (x < 1 || x + 1 >= f.size_x || y < 1 || y + 1 >= f.size_y) return 0;

    const unsigned char result = strength > 255 ? 255 : static_cast<unsigned char>(strength);
    const uint32_t m = f.grad_mag[i];
    const double r = f.grad_ratio[i] * ratio_scale;

    if (r > steep_limit || r < -steep_limit) {
        if (m > f.grad_mag[i - w] && m > f.grad_mag[i + w]) return result;
    } else if (r > diagonal_limit) {
        if (m > f.grad_mag[i - w + 1] && m > f.grad_mag[i + w - 1]) return result;
    }
    if (r < -diagonal_limit && m > f.grad_mag[i - w - 1] && m > f.grad_mag[i + w + 1]) return result;
    if (m > f.grad_mag[i - 1] && m > f.grad_mag[i + 1]) return result;
    return 0;
}

void calulate_gradients(const frame_set &f, color_type *image) {
    if (!image || !canny_buffers_ready(f) || f.size_x < 3 || f.size_y < 3) {
        calulate_gradients_reference(f, image);
        return;
    }
    auto band = [&](unsigned int b, unsigned int e) { gradient_rows(f, image, b, e); };
    run_bands(1, f.size_y - 1, static_cast<size_t>(f.size_x) * f.size_y, band);
}

namespace {

// The fast Canny needs distinct source, destination and save_frame, its
// buffers for this geometry and a frame the 5 x 5 smoothing fits.
bool fast_path_applies(const frame_set &f, const color_type *source, const color_type *destination) {
    return source && destination && source != destination && f.save_frame && f.save_frame != source &&
           f.save_frame != destination && canny_buffers_ready(f) && f.size_x >= 5 && f.size_y >= 5;
}

}  // namespace

void canny_edge(const frame_set &f, color_type *source, color_type *destination, double threshold,
                double second, double third) {
    if (!fast_path_applies(f, source, destination) || !gauss_frame(f, source, destination)) {
        canny_edge_reference(f, source, destination, threshold, second, third);
        return;
    }
    const size_t w = f.size_x, h = f.size_y, pixels = w * h;
    auto copy_back = [&](unsigned int b, unsigned int e) {
        std::memcpy(source + b * w, destination + b * w, (e - b) * w * sizeof(color_type));
    };
    run_bands(0, f.size_y, pixels, copy_back);

    const kernels::row_kernels &k = kernels::active_kernels();
    const int64_t bound = kernels::magnitude_bound(threshold);
    for (size_t x = 0; x < w; ++x) destination[x] = destination[(h - 1) * w + x] = black;

    auto inner = [&](unsigned int b, unsigned int e) {
        gradient_and_suppression_rows(f, k, source, destination, b, e, bound);
    };
    run_bands(1, f.size_y - 1, pixels, inner);
    // The same split again: each band's first and last rows.
    auto edges = [&](unsigned int b, unsigned int e) { band_edge_rows(f, k, destination, b, e, bound); };
    run_bands(1, f.size_y - 1, pixels, edges);
}

namespace {

// Rows of the smoothed frame, back into the source (step.destination).
void copy_back_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const size_t w = f.size_x;
    std::memcpy(step.destination + b * w, step.source + b * w, (e - b) * w * sizeof(color_type));
}

// The gradients of the band and the suppression of its inner rows in one
// step (gradient_and_suppression_rows).
void gradient_suppress_band(const filter_rows &step, unsigned int b, unsigned int e) {
    gradient_and_suppression_rows(*step.frame, kernels::active_kernels(), step.source, step.destination, b, e,
                                  step.bound);
}

// After gradient_suppress_band: the black first and last frame rows, and
// band_edge_rows of that step's band (its bands are these, cut to the
// interior rows).
void band_edges_band(const filter_rows &step, unsigned int b, unsigned int e) {
    const frame_set &f = *step.frame;
    const size_t w = f.size_x, h = f.size_y;
    if (b == 0)
        for (size_t x = 0; x < w; ++x) step.destination[x] = black;
    if (e == h)
        for (size_t x = 0; x < w; ++x) step.destination[(h - 1) * w + x] = black;
    band_edge_rows(f, kernels::active_kernels(), step.destination, b > 1 ? b : 1, e < h - 1 ? e : h - 1,
                   step.bound);
}

}  // namespace

bool canny_rows(const frame_set &f, filter_rows steps[4], color_type *source, color_type *destination,
                double threshold) {
    if (!fast_path_applies(f, source, destination) || !gauss_rows(f, steps[0], source, destination))
        return false;
    const unsigned int h = f.size_y;
    const int64_t bound = kernels::magnitude_bound(threshold);
    steps[1] = filter_rows(f, copy_back_band, destination, source, 0, h, 0);
    // The suppression mostly beside the gradients, while the magnitudes
    // are in the cache; only the bands' edge rows and strip edges after.
    steps[2] = filter_rows(f, gradient_suppress_band, source, destination, 1, h - 1, 1);
    steps[3] = filter_rows(f, band_edges_band, nullptr, destination, 0, h, 1);
    steps[2].bound = steps[3].bound = bound;
    return true;
}
