// The chain runner. The frame is cut into bands of a few rows (about 48 KB
// each); a task is one step over one band. Task (j, c) may start once step
// j - 1 has finished bands c - 1, c and c + 1: the rows step j reads are
// then final, and since every task waits for those three bands of the step
// before, no earlier step still reads the rows it overwrites (by induction,
// step j - k has finished bands c - k .. c + k). A step that must go in
// frame order also waits for its own band c - 1. Every thread of the pool
// takes the ready task of the latest step first, which keeps the rows in
// flight few and warm.
#include "pipeline/chain.h"

#include <atomic>
#include <cstdint>
#include <thread>

#include "common/workers.h"

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#include <emmintrin.h>
#define LUMIVEX_CHAIN_PAUSE() _mm_pause()
#else
#define LUMIVEX_CHAIN_PAUSE() std::this_thread::yield()
#endif

namespace {

const unsigned int max_bands = 4096;
const size_t band_bytes = 48 * 1024;
const unsigned int max_band_rows = 64;

// done[j][c]: step j has finished band c. Static, so a frame allocates
// nothing; run_chain calls are serialised by the pipeline's frame lock.
std::atomic<uint8_t> done[chain_max_steps][max_bands];

std::atomic<unsigned int> band_rows_setting{0};

struct chain_state {
    const filter_rows *steps;
    unsigned int count, bands, band_rows, height;
    std::atomic<unsigned int> next[chain_max_steps];
    std::atomic<unsigned int> remaining;
};

bool finished(unsigned int j, unsigned int c) { return done[j][c].load(std::memory_order_acquire) != 0; }

bool ready(const chain_state &s, unsigned int j, unsigned int c) {
    if (j > 0) {
        const unsigned int lo = c > 0 ? c - 1 : 0, hi = c + 1 < s.bands ? c + 1 : s.bands - 1;
        for (unsigned int k = lo; k <= hi; ++k)
            if (!finished(j - 1, k)) return false;
    }
    return !(s.steps[j].in_order && c > 0 && !finished(j, c - 1));
}

void run_task(chain_state &s, unsigned int j, unsigned int c) {
    const filter_rows &step = s.steps[j];
    unsigned int b = c * s.band_rows, e = b + s.band_rows < s.height ? b + s.band_rows : s.height;
    if (b < step.first) b = step.first;
    if (e > step.last) e = step.last;
    if (b < e) step.run(step, b, e);
    done[j][c].store(1, std::memory_order_release);
    s.remaining.fetch_sub(1, std::memory_order_acq_rel);
}

void work(chain_state &s) {
    unsigned int idle = 0;
    while (s.remaining.load(std::memory_order_acquire) > 0) {
        bool ran = false;
        for (unsigned int j = s.count; j-- > 0;) {
            unsigned int c = s.next[j].load(std::memory_order_acquire);
            if (c >= s.bands || !ready(s, j, c)) continue;
            if (s.next[j].compare_exchange_strong(c, c + 1, std::memory_order_acq_rel)) {
                run_task(s, j, c);
                ran = true;
                break;
            }
        }
        if (ran) {
            idle = 0;
        } else {
            LUMIVEX_CHAIN_PAUSE();
            // With more threads than cores, give the processor to the
            // thread that holds the task everyone waits for.
            if (++idle % 64 == 0) std::this_thread::yield();
        }
    }
}

}  // namespace

void run_chain(const filter_rows *steps, unsigned int count, unsigned int height, size_t row_bytes) {
    if (count == 0 || height == 0) return;
    if (count > chain_max_steps) count = chain_max_steps;
    size_t rows = band_rows_setting.load();
    if (rows == 0) {
        rows = row_bytes ? band_bytes / row_bytes : max_band_rows;
        if (rows < 4) rows = 4;
        if (rows > max_band_rows) rows = max_band_rows;
    }
    if ((height + rows - 1) / rows > max_bands) rows = (height + max_bands - 1) / max_bands;

    chain_state s;
    s.steps = steps;
    s.count = count;
    s.band_rows = static_cast<unsigned int>(rows);
    s.height = height;
    s.bands = static_cast<unsigned int>((height + rows - 1) / rows);
    for (unsigned int j = 0; j < count; ++j) {
        s.next[j].store(0, std::memory_order_relaxed);
        for (unsigned int c = 0; c < s.bands; ++c) done[j][c].store(0, std::memory_order_relaxed);
    }
    s.remaining.store(count * s.bands, std::memory_order_release);

    // One band of run_bands per thread; each thread takes tasks until none
    // is left. Small frames stay on the calling thread.
    auto body = [&](unsigned int, unsigned int) { work(s); };
    run_bands(0, worker_threads(), static_cast<size_t>(height) * row_bytes / 3, body);
}

void set_chain_band_rows(unsigned int rows) { band_rows_setting = rows == 0 ? 0 : (rows < 2 ? 2 : rows); }
