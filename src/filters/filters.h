// Stateless whole-frame filters: the convolution engines, point and
// neighbourhood filters, erode and edge reduction, and motion tracking.
// Every filter reads `source` and writes `destination`, two distinct buffers
// of the current geometry size_x x size_y, and allocates nothing.
#pragma once

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
