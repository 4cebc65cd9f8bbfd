// Runs a chain of filter steps over short bands of rows on the worker pool,
// so that each band of a frame goes through every step while it is still
// in the caches, instead of each step going through the whole frame.
#pragma once

#include <atomic>
#include <cstddef>

#include "filters/filters.h"

// Most steps one call runs.
constexpr unsigned int chain_max_steps = 20;

// Runs steps[0 .. count) over a frame of `height` rows of `row_bytes` bytes
// each and returns when all are done. The bytes come out as if each step ran
// over the whole frame after the one before: a step runs on a band of rows
// only once the step before it has finished the band and its neighbours
// (both what it reads and what it will overwrite), and a step that must go
// in frame order runs its bands one after the other. Bands are at least as
// tall as the largest reach. Allocates nothing. `band_rows`: rows per band;
// 0 sizes bands to about 384 KB, at most 64 rows (tests ask for a few rows,
// at least 2, so that small frames are cut into many bands).
// `stop` (null: none), once set from any thread, cuts the frame short: no
// task starts after a thread sees it, those under way finish, and the rest
// are counted off without running. Returns false when a task was left out.
bool run_chain(const filter_rows *steps, unsigned int count, unsigned int height, size_t row_bytes,
               unsigned int band_rows = 0, const std::atomic<bool> *stop = nullptr);
