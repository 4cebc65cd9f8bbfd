#include "pipeline/process.h"

#include <cstring>

#include "capture/camera.h"
#include "common/buffer.h"
#include "common/workers.h"
#include "display/display.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"

std::atomic<bool> filter_gauss{false};
std::atomic<bool> filter_rc{false};
std::atomic<bool> filter_sharpness{false};
std::atomic<bool> filter_canny{false};
std::atomic<bool> filter_edgefast{false};
std::atomic<bool> filter_laplace{false};
std::atomic<bool> filter_sobel{false};
std::atomic<bool> filter_comboedge{false};
std::atomic<bool> filter_average{false};
std::atomic<bool> filter_emboss{false};
std::atomic<bool> filter_threshold{false};
std::atomic<bool> filter_erode{false};
std::atomic<bool> filter_reduceedge{false};
std::atomic<bool> filter_tracking{false};

std::atomic<bool> d_frame{false};

std::atomic<double> threshold_1{42.0};
std::atomic<double> threshold_2{260.0};

color_type *last_frame = nullptr;
color_type *temp_frame = nullptr;
color_type *save_frame = nullptr;

std::recursive_mutex frame_lock;

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

// Smallest geometry the filters' windows fit in.
const unsigned int min_filter_size = 5;

size_t frame_bytes() {
    return static_cast<size_t>(size_x) * size_y * 3;
}

// Frees *buffer if present and allocates one frame for it.
bool make_buffer(color_type *&buffer, size_t bytes) {
    if (buffer) {
        buffer_free(buffer);
        buffer = nullptr;
    }
    buffer = static_cast<color_type *>(buffer_alloc(bytes));
    return buffer != nullptr;
}

void free_buffer(color_type *&buffer) {
    if (buffer) {
        buffer_free(buffer);
        buffer = nullptr;
    }
}

}  // namespace

void process_start() {
    if (camera_x_size < 0 || camera_y_size < 0) {
        add_line("Unable to create display buffer");
        return;
    }
    size_t bytes = static_cast<size_t>(camera_x_size) * static_cast<size_t>(camera_y_size) * 3;
    for (color_type **buffer : {&last_frame, &temp_frame, &save_frame}) {
        if (!make_buffer(*buffer, bytes)) {
            add_line("Unable to create display buffer");
            return;
        }
    }
    size_x = static_cast<unsigned int>(camera_x_size);
    size_y = static_cast<unsigned int>(camera_y_size);
}

void process_stop() {
    free_buffer(last_frame);
    free_buffer(temp_frame);
    free_buffer(save_frame);
}

void clear_buffers() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    size_t n = frame_bytes();
    for (color_type *buffer : {camera_buffer, temp_frame, last_frame, save_frame}) {
        if (buffer) std::memset(buffer, 0, n);
    }
}

void swap(color_type *&a, color_type *&b) {
    color_type *t = a;
    a = b;
    b = t;
}

void process_frame() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    // Without the work buffers there is nothing to copy into.
    if (!camera_buffer || !temp_frame || !save_frame) return;
    size_t n = frame_bytes();
    parallel_copy(save_frame, camera_buffer, n);

    color_type *source = camera_buffer;
    color_type *destination = temp_frame;
    bool filters_fit = size_x >= min_filter_size && size_y >= min_filter_size && last_frame;
    if (filters_fit) {
        if (filter_gauss) {
            transform_frame(source, destination, gauss_blur, 5, gauss_factor, 0.0);
            swap(source, destination);
        }
        if (filter_rc) {
            rc_filter(source, destination);
            swap(source, destination);
        }
        if (filter_sharpness) {
            transform_frame(source, destination, sharpness, 3, 1.0, 0.0);
            swap(source, destination);
        }
        if (filter_canny) {
            canny_edge(source, destination, threshold_1, threshold_2, 128.0);
            swap(source, destination);
        }
        if (filter_edgefast) {
            edge_detect_frame(source, destination);
            swap(source, destination);
        }
        if (filter_laplace) {
            transform_frame(source, destination, laplace5, 5, 1.0, 128.0);
            swap(source, destination);
        }
        if (filter_sobel) {
            general_filter_frame(source, destination, sobel_x, sobel_y, 3, sobel_scale);
            swap(source, destination);
        }
        if (filter_comboedge) {
            combo_edgedetect_frame(source, destination, threshold_1);
            swap(source, destination);
        }
        if (filter_average) {
            average_frame(source, destination);
            swap(source, destination);
        }
        if (filter_emboss) {
            transform_frame(source, destination, embossing, 3, 1.0, 128.0);
            swap(source, destination);
        }
        if (filter_threshold) {
            threshold_frame(source, destination, threshold_1);
            swap(source, destination);
        }
        if (filter_erode) {
            erode_frame(source, destination, threshold_1);
            swap(source, destination);
        }
        if (filter_reduceedge) {
            reduceedge_frame(source, destination, threshold_2);
            swap(source, destination);
        }
        if (filter_tracking) {
            target_frame(source, destination);
            swap(source, destination);
        }
    }
    parallel_copy(destination, source, n);
}

void show_filters() {
    struct named_flag {
        const std::atomic<bool> *flag;
        const char *name;
    };
    // Overlay order, which differs from the pipeline order.
    static const named_flag names[] = {
        {&filter_gauss, "gauss "},         {&filter_rc, "rc "},
        {&filter_sharpness, "sharpness "}, {&filter_canny, "canny "},
        {&filter_edgefast, "edgefast "},   {&filter_laplace, "laplace "},
        {&filter_sobel, "sobel "},         {&filter_emboss, "emboss "},
        {&filter_threshold, "threshold  "}, {&filter_erode, "erode  "},
        {&filter_tracking, "tracking  "},  {&filter_reduceedge, "reduceedge "},
        {&filter_average, "average "},     {&filter_comboedge, "combo edge"},
    };
    char line[160] = "Filters: ";
    for (const named_flag &f : names) {
        if (f.flag->load()) std::strncat(line, f.name, sizeof line - std::strlen(line) - 1);
    }
    add_line(line);
}
