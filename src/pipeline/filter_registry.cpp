#include "pipeline/filter_registry.h"

#include "filters/canny.h"
#include "filters/rc_filter.h"

namespace {

// clang-format off
const double gauss_blur[25] = {
    2, 4,  5,  4,  2,
    4, 9,  12, 9,  4,
    5, 12, 15, 12, 5,
    4, 9,  12, 9,  4,
    2, 4,  5,  4,  2,
};
const double laplace5[25] = {
    0, 0, 1,   0, 0,
    0, 1, 2,   1, 0,
    1, 2, -16, 2, 1,
    0, 1, 2,   1, 0,
    0, 0, 1,   0, 0,
};
const double sharpness[9] = {
    0,  -1, 0,
    -1, 5,  -1,
    0,  -1, 0,
};
const double embossing[9] = {
    2, 0,  0,
    0, -1, 0,
    0, 0,  -1,
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

const double gauss_factor = 1.0 / 159.0;
const double sobel_scale = 1.0 / 3.0;

unsigned int convolution(const chain_args &a, filter_rows *s, const double *kernel, unsigned int width,
                         double factor, double offset) {
    if (s) return transform_rows(a.frames, *s, a.source, a.destination, kernel, width, factor, offset);
    transform_frame(a.frames, a.source, a.destination, kernel, width, factor, offset);
    return 1;
}

unsigned int gauss(const chain_args &a, filter_rows *s) {
    return convolution(a, s, gauss_blur, 5, gauss_factor, 0.0);
}
unsigned int sharpen(const chain_args &a, filter_rows *s) {
    return convolution(a, s, sharpness, 3, 1.0, 0.0);
}
unsigned int laplace(const chain_args &a, filter_rows *s) {
    return convolution(a, s, laplace5, 5, 1.0, 128.0);
}
unsigned int emboss(const chain_args &a, filter_rows *s) {
    return convolution(a, s, embossing, 3, 1.0, 128.0);
}

unsigned int rc(const chain_args &a, filter_rows *s) {
    if (s) return rc_rows(a.frames, *s, a.source, a.destination);
    rc_filter(a.frames, a.source, a.destination);
    return 1;
}

unsigned int canny(const chain_args &a, filter_rows *s) {
    if (s) return canny_rows(a.frames, s, a.source, a.destination, a.threshold_1) ? 4 : 0;
    canny_edge(a.frames, a.source, a.destination, a.threshold_1, a.threshold_2, 128.0);
    return 1;
}

unsigned int edgefast(const chain_args &a, filter_rows *s) {
    if (s) return edge_detect_rows(a.frames, *s, a.source, a.destination);
    edge_detect_frame(a.frames, a.source, a.destination);
    return 1;
}

unsigned int sobel(const chain_args &a, filter_rows *s) {
    if (s)
        return general_filter_rows(a.frames, *s, a.source, a.destination, sobel_x, sobel_y, 3, sobel_scale);
    general_filter_frame(a.frames, a.source, a.destination, sobel_x, sobel_y, 3, sobel_scale);
    return 1;
}

unsigned int comboedge(const chain_args &a, filter_rows *s) {
    if (s) return combo_edgedetect_rows(a.frames, *s, a.source, a.destination, a.threshold_1);
    combo_edgedetect_frame(a.frames, a.source, a.destination, a.threshold_1);
    return 1;
}

unsigned int average(const chain_args &a, filter_rows *s) {
    if (s) return average_rows(a.frames, *s, a.source, a.destination);
    average_frame(a.frames, a.source, a.destination);
    return 1;
}

unsigned int threshold(const chain_args &a, filter_rows *s) {
    if (s) return threshold_rows(a.frames, *s, a.source, a.destination, a.threshold_1);
    threshold_frame(a.frames, a.source, a.destination, a.threshold_1);
    return 1;
}

unsigned int erode(const chain_args &a, filter_rows *s) {
    if (s) return erode_rows(a.frames, *s, a.source, a.destination, a.threshold_1);
    erode_frame(a.frames, a.source, a.destination, a.threshold_1);
    return 1;
}

unsigned int reduceedge(const chain_args &a, filter_rows *s) {
    if (s) return reduceedge_rows(a.frames, *s, a.source, a.destination, a.threshold_2, a.column_classes);
    reduceedge_frame(a.frames, a.source, a.destination, a.threshold_2);
    return 1;
}

unsigned int tracking(const chain_args &a, filter_rows *s) {
    if (s) return target_rows(a.frames, *s, a.source, a.destination, a.d_frame, a.sums) ? 1 : 0;
    target_frame(a.frames, a.source, a.destination, a.d_frame);
    return 1;
}

}  // namespace

// Chain order. The "Filters:" line has an order of its own (overlay), and
// its names their own spacing.
const filter_entry filter_registry[filter_count] = {
    {'1', &FilterSettings::filter_gauss, "gauss ", 0, true, true, gauss, nullptr},
    {'2', &FilterSettings::filter_rc, "rc ", 1, true, false, rc, nullptr},
    {'3', &FilterSettings::filter_sharpness, "sharpness ", 2, true, false, sharpen, nullptr},
    {'I', &FilterSettings::filter_canny, "canny ", 3, false, false, canny, nullptr},
    {'4', &FilterSettings::filter_edgefast, "edgefast ", 4, true, false, edgefast, nullptr},
    {'5', &FilterSettings::filter_laplace, "laplace ", 5, true, true, laplace, nullptr},
    {'6', &FilterSettings::filter_sobel, "sobel ", 6, true, false, sobel, nullptr},
    {'U', &FilterSettings::filter_comboedge, "combo edge", 13, true, false, comboedge, nullptr},
    {'Y', &FilterSettings::filter_average, "average ", 12, false, false, average, nullptr},
    {'7', &FilterSettings::filter_emboss, "emboss ", 7, true, false, emboss, nullptr},
    {'8', &FilterSettings::filter_threshold, "threshold  ", 8, true, false, threshold, nullptr},
    {'9', &FilterSettings::filter_erode, "erode  ", 9, true, true, erode, nullptr},
    {'E', &FilterSettings::filter_reduceedge, "reduceedge ", 11, true, false, reduceedge, nullptr},
    {'0', &FilterSettings::filter_tracking, "tracking  ", 10, true, false, tracking, target_finish},
};
