// Canny edge detector: smoothing, Sobel gradients of the colour length,
// non-maximum suppression, red edges over the unfiltered frame.
#pragma once

#include <cstdint>

#include "filters/filters.h"

extern uint32_t *grad_mag;   // |gx| + |gy| per pixel
extern int32_t *grad_ratio;  // |gy| / gx in 16.16 fixed point, 0 where gx == 0

void canny_start();
void canny_stop();
void canny_edge(color_type *source, color_type *destination, double threshold, double, double);
// canny_edge as four banded steps (see filter_rows), written to steps[0..3]:
// the smoothing, its copy back into the source, the gradients, the
// suppression. False where the fast path does not apply.
bool canny_rows(filter_rows steps[4], color_type *source, color_type *destination, double threshold);
void calulate_gradients(color_type *image);
unsigned char non_maximal(unsigned int index, unsigned int strength);

// Reference versions (canny_reference.cpp); canny_edge and calulate_gradients give the same results.
void canny_edge_reference(color_type *source, color_type *destination, double threshold, double, double);
void calulate_gradients_reference(color_type *image);
// True when both buffers exist for the current geometry.
bool canny_buffers_ready();
