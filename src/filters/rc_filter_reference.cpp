// The RC filter's reference version: the update of kernels/steps.h applied
// to every channel in frame order.
#include <cstddef>
#include <cstring>

#include "filters/rc_filter.h"
#include "kernels/steps.h"

// Every pixel, borders included. Without a state for this geometry the frame
// passes through unchanged and no state is touched.
void rc_filter_reference(const frame_set &f, color_type *source, color_type *destination) {
    if (!source || !destination) return;
    const size_t n = static_cast<size_t>(f.size_x) * f.size_y;
    if (!rc_state_ready(f)) {
        if (source != destination) std::memcpy(destination, source, n * sizeof(color_type));
        return;
    }
    for (size_t p = 0; p < n; ++p) {
        float *s = &f.image_state[3 * p];
        destination[p].r = kernels::rc_update(s[0], source[p].r);
        destination[p].g = kernels::rc_update(s[1], source[p].g);
        destination[p].b = kernels::rc_update(s[2], source[p].b);
    }
}
