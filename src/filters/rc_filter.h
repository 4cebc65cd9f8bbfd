// RC temporal filter: each channel moves 1% of the way to the camera value
// per frame. Its running values, f.image_state, belong to the frame set.
#pragma once

#include "filters/filters.h"

// (Re)creates f.image_state for the geometry of `f`. Returns null, or the
// status line to show when it could not be made.
const char *rc_filter_start(frame_set &f);
void rc_filter_stop(frame_set &f);
void rc_filter(const frame_set &f, color_type *source, color_type *destination);
// rc_filter as rows of work (see filter_rows); false where it does not apply.
bool rc_rows(const frame_set &f, filter_rows &step, color_type *source, color_type *destination);

// Reference version (rc_filter_reference.cpp); rc_filter gives the same results.
void rc_filter_reference(const frame_set &f, color_type *source, color_type *destination);
// True when image_state exists for the current geometry.
bool rc_state_ready(const frame_set &f);
