// RC temporal filter: a per-channel running value that moves 1% of the way
// towards the camera value each frame, like an RC low-pass. The running
// values start at zero, so the picture fades in from black.
#include "filters/rc_filter.h"

#include <cstddef>
#include <cstring>

#include "display/display.h"
#include "shell/utility.h"

float *image_state = nullptr;

namespace {

// Single-precision weights, widened to double for the update.
const float keep_weight = 0.99f;  // 0.9900000095367432
const float new_weight = 0.01f;   // 0.009999999776482582

// Pixel count image_state was made for; the state is used only while it
// matches the current geometry.
size_t state_pixels = 0;

size_t frame_pixels() { return static_cast<size_t>(size_x) * size_y; }

// One channel: update the stored running value from camera byte `x` and
// return the shown byte (the stored value truncated).
unsigned char update(float &state, unsigned char x) {
    double s = static_cast<double>(state) * static_cast<double>(keep_weight) +
               static_cast<double>(x) * static_cast<double>(new_weight);
    float stored = static_cast<float>(s);
    if (stored < 0.0f) stored = 0.0f;
    if (stored > 255.0f) stored = 255.0f;
    state = stored;
    return static_cast<unsigned char>(stored);
}

}  // namespace

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

// Every pixel, borders included. Without a state for this geometry the frame
// passes through unchanged and no state is touched.
void rc_filter(color_type *source, color_type *destination) {
    if (!source || !destination) return;
    const size_t n = frame_pixels();
    if (!image_state || state_pixels != n) {
        if (source != destination) std::memcpy(destination, source, n * sizeof(color_type));
        return;
    }
    for (size_t p = 0; p < n; ++p) {
        float *s = &image_state[3 * p];
        destination[p].r = update(s[0], source[p].r);
        destination[p].g = update(s[1], source[p].g);
        destination[p].b = update(s[2], source[p].b);
    }
}
