// A small persistent pool that runs the row bands of a filter on both cores.
//
// run_bands splits [begin, end) into contiguous bands, one per thread; the
// calling thread runs the first band itself and returns when every band is
// done. The split depends only on the range and the thread count, and the
// filters give bands that write disjoint rows and read only what no band
// writes, so the bytes never depend on the thread count. The helper threads
// are started on first use and live until the program ends; a call
// allocates nothing.
#pragma once

#include <cstddef>

using band_function = void (*)(void *context, unsigned int begin, unsigned int end);

// Runs fn(context, b, e) over bands covering [begin, end). `work` is the total
// amount of work (pixels, say); ranges with less than the minimum band work
// per extra band stay on the caller. Calls from a band run inline.
void run_bands(unsigned int begin, unsigned int end, size_t work, band_function fn, void *context);

template <class F>
void run_bands(unsigned int begin, unsigned int end, size_t work, F &body) {
    run_bands(
        begin, end, work, [](void *c, unsigned int b, unsigned int e) { (*static_cast<F *>(c))(b, e); },
        &body);
}

// Threads used per call, the caller included: 0 restores the default (the
// processor count, at most 8). Not for use while a filter runs.
void set_worker_threads(unsigned int threads);
unsigned int worker_threads();
// Smallest amount of work worth a band of its own (default 32768); tests set
// 0 so that small frames are split too.
void set_min_band_work(size_t work);

// memcpy of `bytes`, split into bands on the pool from 4 MB on (two cores
// move a large frame out of cache about twice as fast as one).
void parallel_copy(void *destination, const void *source, size_t bytes);
