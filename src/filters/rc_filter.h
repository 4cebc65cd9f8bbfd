// RC temporal filter: each channel moves 1% of the way to the camera value per frame.
#pragma once

#include "filters/filters.h"

// Running values, three floats per pixel in the order r, g, b.
extern float *image_state;

void rc_filter_start();
void rc_filter_stop();
void rc_filter(color_type *source, color_type *destination);
// rc_filter as rows of work (see filter_rows); false where it does not apply.
bool rc_rows(filter_rows &step, color_type *source, color_type *destination);

// Reference version (rc_filter_reference.cpp); rc_filter gives the same results.
void rc_filter_reference(color_type *source, color_type *destination);
// True when image_state exists for the current geometry.
bool rc_state_ready();
