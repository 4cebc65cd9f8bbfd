// RC temporal filter: a per-channel running value that moves 1% of the way
// towards the camera value each frame, like an RC low-pass. The running
// values start at zero, so the picture fades in from black. rc_filter runs
// the update over row bands on the worker pool (every pixel's state is its
// own); the reference (rc_filter_reference.cpp) runs where it cannot.
#include "filters/rc_filter.h"

#include <cstddef>

#include "common/buffer.h"
#include "common/workers.h"
#include "display/display.h"
#include "kernels/dispatch.h"

float *image_state = nullptr;

namespace {

// Pixel count image_state was made for; the state is used only while it
// matches the current geometry.
size_t state_pixels = 0;

size_t frame_pixels() { return static_cast<size_t>(size_x) * size_y; }

}  // namespace

bool rc_state_ready() { return image_state && state_pixels == frame_pixels(); }

void rc_filter_start() {
    if (image_state) {
        buffer_free(image_state);
        image_state = nullptr;
        state_pixels = 0;
    }
    const size_t n = frame_pixels();
    image_state = static_cast<float *>(buffer_alloc(n * 3 * sizeof(float)));
    if (!image_state) {
        add_line("Unable to create image_state buffer");
        return;
    }
    state_pixels = n;
}

void rc_filter_stop() {
    if (image_state) {
        buffer_free(image_state);
        image_state = nullptr;
    }
    state_pixels = 0;
}

bool rc_rows(filter_rows &step, color_type *source, color_type *destination) {
    if (!source || !destination || !rc_state_ready()) return false;
    auto rows = [](const filter_rows &s, unsigned int b, unsigned int e) {
        const size_t w = size_x;
        kernels::active_kernels().rc(s.source + b * w, image_state + 3 * b * w, s.destination + b * w,
                                     (e - b) * w);
    };
    step = filter_rows(rows, source, destination, 0, size_y, 0);
    return true;
}

void rc_filter(color_type *source, color_type *destination) {
    filter_rows step;
    if (!rc_rows(step, source, destination)) {
        rc_filter_reference(source, destination);
        return;
    }
    auto band = [&](unsigned int b, unsigned int e) { step.run(step, b, e); };
    run_bands(0, size_y, static_cast<size_t>(size_x) * size_y, band);
}
