#include "pipeline/pipeline_support.h"

#include <mutex>

#include "common/buffer.h"
#include "filters/canny.h"
#include "filters/kernel_tables.h"
#include "filters/rc_filter.h"

namespace {

using S = const FilterSettings &;
using F = const frame_set &;

void gauss(F f, S, color_type *s, color_type *d) { transform_frame(f, s, d, gauss_blur, 5, gauss_factor, 0); }
void rc(F f, S, color_type *s, color_type *d) { rc_filter(f, s, d); }
void sharp(F f, S, color_type *s, color_type *d) { transform_frame(f, s, d, sharpness, 3, 1, 0); }
void canny(F f, S t, color_type *s, color_type *d) { canny_edge(f, s, d, t.threshold_1, t.threshold_2, 128); }
void edgefast(F f, S, color_type *s, color_type *d) { edge_detect_frame(f, s, d); }
void laplace(F f, S, color_type *s, color_type *d) { transform_frame(f, s, d, laplace5, 5, 1, 128); }
void sobel(F f, S, color_type *s, color_type *d) {
    general_filter_frame(f, s, d, sobel_x, sobel_y, 3, sobel_scale);
}
void combo(F f, S t, color_type *s, color_type *d) { combo_edgedetect_frame(f, s, d, t.threshold_1); }
void average(F f, S, color_type *s, color_type *d) { average_frame(f, s, d); }
void emboss(F f, S, color_type *s, color_type *d) { transform_frame(f, s, d, embossing, 3, 1, 128); }
void threshold(F f, S t, color_type *s, color_type *d) { threshold_frame(f, s, d, t.threshold_1); }
void erode(F f, S t, color_type *s, color_type *d) { erode_frame(f, s, d, t.threshold_1); }
void reduceedge(F f, S t, color_type *s, color_type *d) { reduceedge_frame(f, s, d, t.threshold_2); }
void tracking(F f, S t, color_type *s, color_type *d) { target_frame(f, s, d, t.d_frame); }

}  // namespace

const WholeFrameStep whole_frame_steps[14] = {
    {"gauss", &FilterSettings::filter_gauss, gauss},
    {"rc", &FilterSettings::filter_rc, rc},
    {"sharpness", &FilterSettings::filter_sharpness, sharp},
    {"canny", &FilterSettings::filter_canny, canny},
    {"edgefast", &FilterSettings::filter_edgefast, edgefast},
    {"laplace", &FilterSettings::filter_laplace, laplace},
    {"sobel", &FilterSettings::filter_sobel, sobel},
    {"comboedge", &FilterSettings::filter_comboedge, combo},
    {"average", &FilterSettings::filter_average, average},
    {"emboss", &FilterSettings::filter_emboss, emboss},
    {"threshold", &FilterSettings::filter_threshold, threshold},
    {"erode", &FilterSettings::filter_erode, erode},
    {"reduceedge", &FilterSettings::filter_reduceedge, reduceedge},
    {"tracking", &FilterSettings::filter_tracking, tracking},
};

void set_all_filters(FilterSettings &settings, bool on) {
    for (const WholeFrameStep &s : whole_frame_steps) (settings.*s.flag) = on;
}

void PipelineRig::start(int width, int height) {
    stop();
    std::lock_guard<std::mutex> lock(store.frame_lock);
    store.camera_x_size = width;
    store.camera_y_size = height;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    store.camera_buffer = static_cast<color_type *>(buffer_alloc(bytes));
    store.camera_buffer_info = BITMAPINFO{};
    BITMAPINFOHEADER &h = store.camera_buffer_info.bmiHeader;
    h.biSize = sizeof(BITMAPINFOHEADER);
    h.biWidth = width;
    h.biHeight = height;
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    h.biSizeImage = static_cast<DWORD>(bytes);
    process_start(store, log);
    for (const char *line : {canny_start(store.frames), rc_filter_start(store.frames)})
        if (line) log.add_line(line);
}

void PipelineRig::stop() {
    std::lock_guard<std::mutex> lock(store.frame_lock);
    buffer_free(store.camera_buffer);
    store.camera_buffer = nullptr;
    process_stop(store);
    canny_stop(store.frames);
    rc_filter_stop(store.frames);
}

void PipelineRig::run() {
    std::lock_guard<std::mutex> lock(store.frame_lock);
    process_frame(store, settings);
}

std::vector<unsigned char> PipelineRig::bytes(const color_type *frame) const {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(frame);
    return std::vector<unsigned char>(p, p + pixels() * 3);
}
