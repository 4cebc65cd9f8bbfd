// Canny edge detector: smoothing, Sobel gradients of the colour length,
// non-maximum suppression, red edges over the unfiltered frame. Its two
// buffers, f.grad_mag and f.grad_ratio, belong to the frame set.
#pragma once

#include <cstdint>

#include "filters/filters.h"

// (Re)creates both buffers for the geometry of `f`. Returns null, or the
// status line for the buffer that could not be made.
const char *canny_start(frame_set &f);
void canny_stop(frame_set &f);
void canny_edge(const frame_set &f, color_type *source, color_type *destination, double threshold, double,
                double);
// canny_edge as four banded steps (see filter_rows), written to steps[0..3]:
// the smoothing, its copy back into the source, the gradients, the
// suppression. False where the fast path does not apply.
bool canny_rows(const frame_set &f, filter_rows steps[4], color_type *source, color_type *destination,
                double threshold);
void calulate_gradients(const frame_set &f, color_type *image);
unsigned char non_maximal(const frame_set &f, unsigned int index, unsigned int strength);

// Reference versions (canny_reference.cpp); canny_edge and calulate_gradients give the same results.
void canny_edge_reference(const frame_set &f, color_type *source, color_type *destination, double threshold,
                          double, double);
void calulate_gradients_reference(const frame_set &f, color_type *image);
// True when both buffers exist for the current geometry.
bool canny_buffers_ready(const frame_set &f);
