#include "pipeline/process.h"

#include <cstring>

#include "capture/camera.h"
#include "common/buffer.h"
#include "common/workers.h"
#include "display/display.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"
#include "pipeline/chain.h"

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

// Edge reduction's column classes for the banded chain, one byte per
// column; a wider frame runs that step over the whole frame instead.
namespace {
const unsigned int banded_columns = 16384;
uint8_t column_classes[banded_columns];
}  // namespace

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

size_t frame_bytes() { return static_cast<size_t>(size_x) * size_y * 3; }

bool filters_fit() { return size_x >= min_filter_size && size_y >= min_filter_size && last_frame; }

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
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    // The old buffers go first, and the geometry follows the camera even when
    // a buffer cannot be made: a buffer never outlives the geometry it was
    // made for, and one that is missing counts as absent everywhere.
    process_stop();
    const bool valid = camera_x_size >= 0 && camera_y_size >= 0;
    size_x = valid ? static_cast<unsigned int>(camera_x_size) : 0;
    size_y = valid ? static_cast<unsigned int>(camera_y_size) : 0;
    if (!valid) {
        add_line("Unable to create display buffer");
        return;
    }
    for (color_type **buffer : {&last_frame, &temp_frame, &save_frame}) {
        if (!make_buffer(*buffer, frame_bytes())) {
            add_line("Unable to create display buffer");
            return;
        }
    }
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

namespace {

// The chain in bands of rows (pipeline/chain.h), giving the bytes of one
// filter after the other over whole frames: the steps that have a
// banded form are gathered and run together; a step without one (Canny, or
// a filter whose fast path does not apply) runs over the whole frame between
// two such runs. The flags and thresholds are read once each, in chain order.
class banded_chain {
  public:
    void run() {
        if (!filters_fit() || !any_filter()) {
            // Just the two copies: plain ones are cheaper than waking the
            // chain for small frames.
            const size_t n = frame_bytes();
            parallel_copy(save_frame, camera_buffer, n);
            parallel_copy(temp_frame, camera_buffer, n);
            return;
        }
        add_copy(camera_buffer, save_frame);
        if (filter_gauss) step(&banded_chain::gauss);
        if (filter_rc) step(&banded_chain::rc);
        if (filter_sharpness) step(&banded_chain::sharpen);
        if (filter_canny) step(&banded_chain::canny);
        if (filter_edgefast) step(&banded_chain::edgefast);
        if (filter_laplace) step(&banded_chain::laplace);
        if (filter_sobel) step(&banded_chain::sobel);
        if (filter_comboedge) step(&banded_chain::comboedge);
        if (filter_average) step(&banded_chain::average);
        if (filter_emboss) step(&banded_chain::emboss);
        if (filter_threshold) step(&banded_chain::threshold);
        if (filter_erode) step(&banded_chain::erode);
        if (filter_reduceedge) step(&banded_chain::reduceedge);
        if (filter_tracking) step(&banded_chain::tracking);
        if (tracked_) {
            // The crosshair needs every row of the step: finish it, then copy.
            flush();
            target_finish(tracking_step_);
            parallel_copy(destination_, source_, frame_bytes());
        } else {
            add_copy(source_, destination_);
            flush();
        }
    }

  private:
    static bool any_filter() {
        for (const std::atomic<bool> *f :
             {&filter_gauss, &filter_rc, &filter_sharpness, &filter_canny, &filter_edgefast, &filter_laplace,
              &filter_sobel, &filter_comboedge, &filter_average, &filter_emboss, &filter_threshold,
              &filter_erode, &filter_reduceedge, &filter_tracking})
            if (f->load()) return true;
        return false;
    }

    // Each writes the banded form of its filter to `s` and returns how many
    // steps it took (0: it has none), or, given no step, runs the filter over
    // the whole frame.
    using maker = unsigned int (banded_chain::*)(filter_rows *s);

    unsigned int gauss(filter_rows *s) { return convolution(s, gauss_blur, 5, gauss_factor, 0.0); }
    unsigned int sharpen(filter_rows *s) { return convolution(s, sharpness, 3, 1.0, 0.0); }
    unsigned int laplace(filter_rows *s) { return convolution(s, laplace5, 5, 1.0, 128.0); }
    unsigned int emboss(filter_rows *s) { return convolution(s, embossing, 3, 1.0, 128.0); }
    unsigned int convolution(filter_rows *s, const double *kernel, unsigned int width, double factor,
                             double offset) {
        if (s) return transform_rows(*s, source_, destination_, kernel, width, factor, offset);
        transform_frame(source_, destination_, kernel, width, factor, offset);
        return 1;
    }
    unsigned int rc(filter_rows *s) {
        if (s) return rc_rows(*s, source_, destination_);
        rc_filter(source_, destination_);
        return 1;
    }
    unsigned int canny(filter_rows *s) {
        if (s) return canny_rows(s, source_, destination_, threshold_1) ? 4 : 0;
        canny_edge(source_, destination_, threshold_1, threshold_2, 128.0);
        return 1;
    }
    unsigned int edgefast(filter_rows *s) {
        if (s) return edge_detect_rows(*s, source_, destination_);
        edge_detect_frame(source_, destination_);
        return 1;
    }
    unsigned int sobel(filter_rows *s) {
        if (s) return general_filter_rows(*s, source_, destination_, sobel_x, sobel_y, 3, sobel_scale);
        general_filter_frame(source_, destination_, sobel_x, sobel_y, 3, sobel_scale);
        return 1;
    }
    unsigned int comboedge(filter_rows *s) {
        if (s) return combo_edgedetect_rows(*s, source_, destination_, threshold_1);
        combo_edgedetect_frame(source_, destination_, threshold_1);
        return 1;
    }
    unsigned int average(filter_rows *s) {
        if (s) return average_rows(*s, source_, destination_);
        average_frame(source_, destination_);
        return 1;
    }
    unsigned int threshold(filter_rows *s) {
        if (s) return threshold_rows(*s, source_, destination_, threshold_1);
        threshold_frame(source_, destination_, threshold_1);
        return 1;
    }
    unsigned int erode(filter_rows *s) {
        if (s) return erode_rows(*s, source_, destination_, threshold_1);
        erode_frame(source_, destination_, threshold_1);
        return 1;
    }
    unsigned int reduceedge(filter_rows *s) {
        if (s) {
            uint8_t *columns = size_x <= banded_columns ? column_classes : nullptr;
            return reduceedge_rows(*s, source_, destination_, threshold_2, columns);
        }
        reduceedge_frame(source_, destination_, threshold_2);
        return 1;
    }
    unsigned int tracking(filter_rows *s) {
        if (s) {
            if (!target_rows(*s, source_, destination_, sums_)) return 0;
            tracking_step_ = *s;
            tracked_ = true;
            return 1;
        }
        target_frame(source_, destination_);
        return 1;
    }

    void step(maker make) {
        const unsigned int made = (this->*make)(&steps_[count_]);
        if (made == 0) {
            flush();
            (this->*make)(nullptr);
        }
        count_ += made;
        swap(source_, destination_);
    }
    void add_copy(const color_type *from, color_type *to) { copy_rows(steps_[count_++], from, to); }
    void flush() {
        run_chain(steps_, count_, size_y, static_cast<size_t>(size_x) * 3);
        count_ = 0;
    }

    filter_rows steps_[chain_max_steps];
    unsigned int count_ = 0;
    color_type *source_ = camera_buffer;
    color_type *destination_ = temp_frame;
    std::atomic<uint64_t> sums_[3];
    filter_rows tracking_step_;
    bool tracked_ = false;
};

}  // namespace

void process_frame() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    // Without the work buffers there is nothing to copy into.
    if (!camera_buffer || !temp_frame || !save_frame) return;
    banded_chain chain;
    chain.run();
}

void show_filters() {
    struct named_flag {
        const std::atomic<bool> *flag;
        const char *name;
    };
    // Overlay order, which differs from the pipeline order.
    static const named_flag names[] = {
        {&filter_gauss, "gauss "},          {&filter_rc, "rc "},
        {&filter_sharpness, "sharpness "},  {&filter_canny, "canny "},
        {&filter_edgefast, "edgefast "},    {&filter_laplace, "laplace "},
        {&filter_sobel, "sobel "},          {&filter_emboss, "emboss "},
        {&filter_threshold, "threshold  "}, {&filter_erode, "erode  "},
        {&filter_tracking, "tracking  "},   {&filter_reduceedge, "reduceedge "},
        {&filter_average, "average "},      {&filter_comboedge, "combo edge"},
    };
    char line[160] = "Filters: ";
    for (const named_flag &f : names) {
        if (f.flag->load()) std::strncat(line, f.name, sizeof line - std::strlen(line) - 1);
    }
    add_line(line);
}
