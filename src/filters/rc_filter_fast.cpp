// The public RC filter: the reference update per channel, over row bands on
// the worker pool (every pixel's state is its own).
#include "filters/fast_rows.h"
#include "filters/rc_filter.h"
#include "filters/workers.h"

void rc_filter(color_type *source, color_type *destination) {
    if (!source || !destination || !rc_state_ready()) {
        rc_filter_reference(source, destination);
        return;
    }
    const fast::row_kernels &k = fast::active_kernels();
    const size_t w = size_x;
    auto band = [&](unsigned int b, unsigned int e) {
        k.rc(source + b * w, image_state + 3 * b * w, destination + b * w, (e - b) * w);
    };
    run_bands(0, size_y, w * size_y, band);
}
