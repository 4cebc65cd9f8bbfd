// RC temporal filter: a per-channel running value that moves 1% of the way
// towards the camera value each frame, like an RC low-pass. The running
// values start at zero, so the picture fades in from black. rc_filter runs
// the update over row bands on the worker pool (every pixel's state is its
// own); the reference (rc_filter_reference.cpp) runs where it cannot.
#include "filters/rc_filter.h"

#include <cstddef>

#include "common/buffer.h"
#include "common/workers.h"
#include "kernels/dispatch.h"

// The state is used only while the pixel count it was made for matches the
// current geometry.
bool rc_state_ready(const frame_set &f) { return f.image_state && f.state_pixels == f.pixels(); }

const char *rc_filter_start(frame_set &f) {
    rc_filter_stop(f);
    const size_t n = f.pixels();
    f.image_state = static_cast<float *>(buffer_alloc(n * 3 * sizeof(float)));
    if (!f.image_state) return "Unable to create image_state buffer";
    f.state_pixels = n;
    return nullptr;
}

void rc_filter_stop(frame_set &f) {
    if (f.image_state) {
        buffer_free(f.image_state);
        f.image_state = nullptr;
    }
    f.state_pixels = 0;
}

bool rc_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination) {
    if (!source || !destination || !rc_state_ready(f)) return false;
    auto rows = [](const filter_rows &s, unsigned int b, unsigned int e) {
        const size_t w = s.frame->size_x;
        kernels::active_kernels().rc(s.source + b * w, s.frame->image_state + 3 * b * w,
                                     s.destination + b * w, (e - b) * w);
    };
    step = filter_rows(f, rows, source, destination, 0, f.size_y, 0);
    return true;
}

void rc_filter(const frame_set &f, color_type *source, color_type *destination) {
    filter_rows step;
    if (!rc_rows(f, step, source, destination)) {
        rc_filter_reference(f, source, destination);
        return;
    }
    auto band = [&](unsigned int b, unsigned int e) { step.run(step, b, e); };
    run_bands(0, f.size_y, f.pixels(), band);
}
