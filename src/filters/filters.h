// Stateless whole-frame filters: the convolution engines, point and
// neighbourhood filters, erode and edge reduction, and motion tracking.
// Every filter reads `source` and writes `destination`, two distinct buffers
// of the geometry f.size_x x f.size_y, and allocates nothing. What a filter
// reads besides its source comes in `f` and its arguments.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/pixel.h"

// The frames a filter works on: their geometry, the frames the chain keeps
// beside the two work buffers, and the stateful filters' buffers. Owned by
// the pipeline's frame store; pointers are null while absent.
struct frame_set {
    unsigned int size_x = 0;  // geometry of every pipeline buffer
    unsigned int size_y = 0;
    color_type *last_frame = nullptr;  // previous frame (average, tracking)
    color_type *save_frame = nullptr;  // unfiltered frame of the current run (erode, Canny)
    uint32_t *grad_mag = nullptr;      // Canny: |gx| + |gy| per pixel
    int32_t *grad_ratio = nullptr;     // Canny: |gy| / gx in 16.16 fixed point, 0 where gx == 0
    float *image_state = nullptr;      // RC: running values, three floats per pixel (r, g, b)
    // Pixel counts the stateful buffers were made for: each is used only
    // while its count matches the geometry.
    size_t mag_pixels = 0, ratio_pixels = 0, state_pixels = 0;
    size_t pixels() const { return static_cast<size_t>(size_x) * size_y; }
};

// N x N convolution (N odd), v = factor * sum + offset, truncated, clamped.
void transform_frame(const frame_set &f, color_type *source, color_type *destination, const double *kernel,
                     unsigned int width, double factor, double offset);
// Two 3x3 kernels combined as 8 * trunc(|P| + |Q|), taps pre-scaled by `scale`.
void general_filter_frame(const frame_set &f, color_type *source, color_type *destination,
                          const double *kernel_1, const double *kernel_2, unsigned int width, double scale);
// 5 * (|right difference| + |lower difference|) per channel, saturated.
void edge_detect_frame(const frame_set &f, color_type *source, color_type *destination);
// Black where the colour length is above the threshold, white elsewhere.
void threshold_frame(const frame_set &f, color_type *source, color_type *destination, double threshold);
// Mean of the source and f.last_frame; then f.last_frame takes the source.
void average_frame(const frame_set &f, color_type *source, color_type *destination);
// Red marks over f.save_frame where the colour length falls across the threshold.
void erode_frame(const frame_set &f, color_type *source, color_type *destination, double threshold);
// White dots where the colour length crosses the threshold along rows/columns.
void reduceedge_frame(const frame_set &f, color_type *source, color_type *destination, double threshold);
// Direction of the Sobel gradient of the colour length as a grey level.
void combo_edgedetect_frame(const frame_set &f, color_type *source, color_type *destination,
                            double threshold);

// sqrt(b^2 + g^2 + r^2), squares in integers, root in double.
double color_size(color_type colour);
// Fills [x1, x2) x [y1, y2) with red after clamping each bound to the last index.
void draw_box(const frame_set &f, unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2,
              color_type *frame);
// Motion tracking against f.last_frame: crosshair and red square at the centre
// of change; with `d_frame`, the change itself instead of the picture.
void target_frame(const frame_set &f, color_type *source, color_type *destination, bool d_frame);

// Reference versions (filters_reference.cpp): plain passes in frame order
// that define each filter's bytes. The functions above give the same bytes
// by running row kernels (src/kernels/) over row bands where they apply.
void transform_frame_reference(const frame_set &f, color_type *source, color_type *destination,
                               const double *kernel, unsigned int width, double factor, double offset);
void general_filter_frame_reference(const frame_set &f, color_type *source, color_type *destination,
                                    const double *kernel_1, const double *kernel_2, unsigned int width,
                                    double scale);
void edge_detect_frame_reference(const frame_set &f, color_type *source, color_type *destination);
void threshold_frame_reference(const frame_set &f, color_type *source, color_type *destination,
                               double threshold);
void average_frame_reference(const frame_set &f, color_type *source, color_type *destination);
void erode_frame_reference(const frame_set &f, color_type *source, color_type *destination, double threshold);
void reduceedge_frame_reference(const frame_set &f, color_type *source, color_type *destination,
                                double threshold);
void combo_edgedetect_frame_reference(const frame_set &f, color_type *source, color_type *destination,
                                      double threshold);
void target_frame_reference(const frame_set &f, color_type *source, color_type *destination, bool d_frame);

// A filter as rows of work, so that a chain of filters can run over short
// bands of rows that stay in the caches (pipeline/chain.h). run(step, b, e)
// computes the destination rows [b, e), which lie in [first, last); a row
// reads the source up to `reach` rows above and below it. A step that is
// `in_order` carries state down the frame and must be run over its rows in
// frame order, band after band; the others may run in any order and at once.
// Rows a step does not compute keep what the destination held, exactly as
// with the whole-frame function.
struct filter_rows {
    using row_function = void(const filter_rows &step, unsigned int begin, unsigned int end);
    filter_rows() = default;
    filter_rows(const frame_set &frames, row_function *rows, color_type *from, color_type *to,
                unsigned int first_row, unsigned int end_row, unsigned int rows_around)
        : run(rows),
          frame(&frames),
          first(first_row),
          last(end_row),
          reach(rows_around),
          source(from),
          destination(to) {}

    row_function *run = nullptr;
    const frame_set *frame = nullptr;  // geometry and shared frames
    unsigned int first = 0, last = 0;
    unsigned int reach = 0;
    bool in_order = false;
    color_type *source = nullptr;
    color_type *destination = nullptr;
    // The filter's own arguments, each used by some filters only.
    int kind = 0;
    int offset = 0;
    uint32_t above = 0, below = 0;
    double scale = 0.0;
    int64_t bound = 0;
    bool diff = false;
    uint8_t *columns = nullptr;             // edge reduction: f.size_x classes carried down the columns
    std::atomic<uint64_t> *sums = nullptr;  // tracking: total change, x and y moments
};

// Each fills `step` with the filter's fast path over the same arguments as
// the whole-frame function and returns true; false where the fast path does
// not apply (the whole-frame function then runs its reference).
bool transform_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                    const double *kernel, unsigned int width, double factor, double offset);
bool general_filter_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                         const double *kernel_1, const double *kernel_2, unsigned int width, double scale);
bool edge_detect_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination);
bool threshold_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                    double threshold);
bool average_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination);
bool erode_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                double threshold);
// `columns`: f.size_x bytes that stay the step's own until its last row is done.
bool reduceedge_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                     double threshold, uint8_t *columns);
bool combo_edgedetect_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                           double threshold);
// `sums`: three counters, zeroed here; target_finish draws the crosshair
// once every row is done.
bool target_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination,
                 bool d_frame, std::atomic<uint64_t> *sums);
void target_finish(const filter_rows &step);
// A plain copy of rows, source to destination (the pipeline's own copies).
void copy_rows(const frame_set &f, filter_rows &step, const color_type *source, color_type *destination);
