// The program's own per-frame work outside the filters (program_bench.cpp).
#pragma once

// The best time of one whole frame of that work at 640 x 480 in this run,
// in milliseconds; 0 when its benchmark did not run.
double own_path_total_ms();
// What the whole frame of it should stay under.
const double own_path_goal_ms = 0.5;
