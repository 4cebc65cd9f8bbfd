// The fast Gaussian step that canny_edge shares with transform_frame.
#pragma once

#include "filters/filters.h"

// The Gaussian over a whole frame of the current geometry (rows 2 ..
// size_y-3, black side borders), from row kernels; false, with nothing
// written, where it does not apply.
bool gauss_frame(const frame_set &f, const color_type *source, color_type *destination);
// The same as a banded step (see filter_rows); false where it does not apply.
bool gauss_rows(const frame_set &f, filter_rows &step, const color_type *source, color_type *destination);
