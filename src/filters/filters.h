// Stateless whole-frame filters: the convolution engines, point and
// neighbourhood filters, erode and edge reduction, and motion tracking.
// Every filter reads `source` and writes `destination`, two distinct buffers
// of the current geometry size_x x size_y, and allocates nothing.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/pixel.h"

// Geometry of every pipeline buffer; set only by process_start.
extern unsigned int size_x;
extern unsigned int size_y;

// N x N convolution (N odd), v = factor * sum + offset, truncated, clamped.
void transform_frame(color_type *source, color_type *destination, const double *kernel, unsigned int width,
                     double factor, double offset);
// Two 3x3 kernels combined as 8 * trunc(|P| + |Q|), taps pre-scaled by `scale`.
void general_filter_frame(color_type *source, color_type *destination, const double *kernel_1,
                          const double *kernel_2, unsigned int width, double scale);
// 5 * (|right difference| + |lower difference|) per channel, saturated.
void edge_detect_frame(color_type *source, color_type *destination);
// Black where the colour length is above the threshold, white elsewhere.
void threshold_frame(color_type *source, color_type *destination, double threshold);
// Mean of the source and last_frame; then last_frame takes the source.
void average_frame(color_type *source, color_type *destination);
// Red marks over save_frame where the colour length falls across the threshold.
void erode_frame(color_type *source, color_type *destination, double threshold);
// White dots where the colour length crosses the threshold along rows/columns.
void reduceedge_frame(color_type *source, color_type *destination, double threshold);
// Direction of the Sobel gradient of the colour length as a grey level.
void combo_edgedetect_frame(color_type *source, color_type *destination, double threshold);

// sqrt(b^2 + g^2 + r^2), squares in integers, root in double.
double color_size(color_type colour);
// Fills [x1, x2) x [y1, y2) with red after clamping each bound to the last index.
void draw_box(unsigned int x1, unsigned int y1, unsigned int x2, unsigned int y2, color_type *frame);
// Motion tracking against last_frame: crosshair and red square at the centre of change.
void target_frame(color_type *source, color_type *destination);

// Reference versions (filters_reference.cpp): plain passes in frame order
// that define each filter's bytes. The functions above give the same bytes
// by running row kernels (src/kernels/) over row bands where they apply.
void transform_frame_reference(color_type *source, color_type *destination, const double *kernel,
                               unsigned int width, double factor, double offset);
void general_filter_frame_reference(color_type *source, color_type *destination, const double *kernel_1,
                                    const double *kernel_2, unsigned int width, double scale);
void edge_detect_frame_reference(color_type *source, color_type *destination);
void threshold_frame_reference(color_type *source, color_type *destination, double threshold);
void average_frame_reference(color_type *source, color_type *destination);
void erode_frame_reference(color_type *source, color_type *destination, double threshold);
void reduceedge_frame_reference(color_type *source, color_type *destination, double threshold);
void combo_edgedetect_frame_reference(color_type *source, color_type *destination, double threshold);
void target_frame_reference(color_type *source, color_type *destination);

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
    filter_rows(row_function *rows, color_type *from, color_type *to, unsigned int first_row,
                unsigned int end_row, unsigned int rows_around)
        : run(rows), first(first_row), last(end_row), reach(rows_around), source(from), destination(to) {}

    row_function *run = nullptr;
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
    uint8_t *columns = nullptr;             // edge reduction: size_x classes carried down the columns
    std::atomic<uint64_t> *sums = nullptr;  // tracking: total change, x and y moments
};

// Each fills `step` with the filter's fast path over the same arguments as
// the whole-frame function and returns true; false where the fast path does
// not apply (the whole-frame function then runs its reference).
bool transform_rows(filter_rows &step, color_type *source, color_type *destination, const double *kernel,
                    unsigned int width, double factor, double offset);
bool general_filter_rows(filter_rows &step, color_type *source, color_type *destination,
                         const double *kernel_1, const double *kernel_2, unsigned int width, double scale);
bool edge_detect_rows(filter_rows &step, color_type *source, color_type *destination);
bool threshold_rows(filter_rows &step, color_type *source, color_type *destination, double threshold);
bool average_rows(filter_rows &step, color_type *source, color_type *destination);
bool erode_rows(filter_rows &step, color_type *source, color_type *destination, double threshold);
// `columns`: size_x bytes that stay the step's own until its last row is done.
bool reduceedge_rows(filter_rows &step, color_type *source, color_type *destination, double threshold,
                     uint8_t *columns);
bool combo_edgedetect_rows(filter_rows &step, color_type *source, color_type *destination, double threshold);
// `sums`: three counters, zeroed here; target_finish draws the crosshair
// once every row is done.
bool target_rows(filter_rows &step, color_type *source, color_type *destination, std::atomic<uint64_t> *sums);
void target_finish(const filter_rows &step);
// A plain copy of rows, source to destination (the pipeline's own copies).
void copy_rows(filter_rows &step, const color_type *source, color_type *destination);
