// The chain runner. The frame is cut into bands of rows (about 384 KB each,
// which measured a little faster than 96 or 192 KB at 1080p and 4K); a task
// is one step over one band. Task (j, c) may start once step j - 1 has
// finished bands c - 1, c and c + 1: the rows step j reads are then final,
// and since every task waits for those three bands of the step before, no
// earlier step still reads the rows it overwrites (by induction, step j - k
// has finished bands c - k .. c + k). A step that must go in frame order also
// waits for its own band c - 1. Every thread of the pool takes the ready task
// of the latest step first, which keeps the rows in flight few and warm.
// Once the stop flag is set, a thread that takes a task counts it off instead
// of running it, ready or not, and leaves its band unfinished, so no task
// that depends on it runs either.
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
const size_t band_bytes = 384 * 1024;
const unsigned int max_band_rows = 64;

// done[j][c]: step j has finished band c. Static, so a frame allocates
// nothing; run_chain calls are serialised by the pipeline's frame lock.
std::atomic<uint8_t> done[chain_max_steps][max_bands];

const unsigned int max_regions = 8;

struct chain_state {
    const filter_rows *steps;
    unsigned int count, bands, band_rows, height, regions;
    // next[j][r]: the next band of step j to take in region r (bands
    // [r * bands / regions, (r + 1) * bands / regions)); a step that goes in
    // frame order takes all its bands through next[j][0].
    std::atomic<unsigned int> next[chain_max_steps][max_regions];
    std::atomic<unsigned int> remaining;
    const std::atomic<bool> *stop;
    std::atomic<bool> left_out{false};  // a task was counted off without running

    unsigned int region_begin(unsigned int r) const {
        return static_cast<unsigned int>(static_cast<unsigned long long>(bands) * r / regions);
    }
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

bool stopped(const chain_state &s) { return s.stop && s.stop->load(std::memory_order_acquire); }

// Takes and runs the next band of step j in region r if it is ready; after a
// stop, takes it whether ready or not and counts it off. The flag is read
// again once the task is taken: a flag set before a band this task waited for
// was finished is seen then.
bool try_take(chain_state &s, unsigned int j, unsigned int r, bool cut) {
    const bool whole = s.steps[j].in_order;
    if (whole && r != 0) return false;
    const unsigned int end = whole ? s.bands : s.region_begin(r + 1);
    std::atomic<unsigned int> &next = s.next[j][r];
    unsigned int c = next.load(std::memory_order_acquire);
    if (c >= end || (!cut && !ready(s, j, c))) return false;
    if (!next.compare_exchange_strong(c, c + 1, std::memory_order_acq_rel)) return false;
    if (cut || stopped(s)) {
        s.left_out.store(true, std::memory_order_relaxed);
        s.remaining.fetch_sub(1, std::memory_order_acq_rel);
    } else {
        run_task(s, j, c);
    }
    return true;
}

// Thread `self` works in its own region of the frame, so that the rows it
// writes are mostly the rows it reads next (in its own core's cache); when
// nothing there is ready it helps elsewhere.
void work(chain_state &s, unsigned int self) {
    unsigned int idle = 0;
    while (s.remaining.load(std::memory_order_acquire) > 0) {
        const bool cut = stopped(s);
        bool ran = false;
        for (unsigned int j = s.count; j-- > 0 && !ran;)
            ran = try_take(s, j, self, cut) || (s.steps[j].in_order && try_take(s, j, 0, cut));
        for (unsigned int k = 1; k < s.regions && !ran; ++k)
            for (unsigned int j = s.count; j-- > 0 && !ran;)
                ran = try_take(s, j, (self + k) % s.regions, cut);
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

bool run_chain(const filter_rows *steps, unsigned int count, unsigned int height, size_t row_bytes,
               unsigned int band_rows, const std::atomic<bool> *stop) {
    if (count == 0 || height == 0) return true;
    if (count > chain_max_steps) count = chain_max_steps;
    size_t rows = band_rows == 0 ? 0 : (band_rows < 2 ? 2 : band_rows);
    if (rows == 0) {
        rows = row_bytes ? band_bytes / row_bytes : max_band_rows;
        if (rows < 4) rows = 4;
        if (rows > max_band_rows) rows = max_band_rows;
    }
    // A band must hold every row a step reads around another band's rows.
    for (unsigned int j = 0; j < count; ++j)
        if (rows < steps[j].reach) rows = steps[j].reach;
    if ((height + rows - 1) / rows > max_bands) rows = (height + max_bands - 1) / max_bands;

    chain_state s;
    s.steps = steps;
    s.stop = stop;
    s.count = count;
    s.band_rows = static_cast<unsigned int>(rows);
    s.height = height;
    s.bands = static_cast<unsigned int>((height + rows - 1) / rows);
    const unsigned int threads = worker_threads();
    s.regions = threads < max_regions ? threads : max_regions;
    if (s.regions > s.bands) s.regions = s.bands;
    for (unsigned int j = 0; j < count; ++j) {
        for (unsigned int r = 0; r < s.regions; ++r)
            s.next[j][r].store(s.region_begin(r), std::memory_order_relaxed);
        for (unsigned int c = 0; c < s.bands; ++c) done[j][c].store(0, std::memory_order_relaxed);
    }
    s.remaining.store(count * s.bands, std::memory_order_release);

    // One band of run_bands per thread; each thread takes tasks until none
    // is left. Small frames stay on the calling thread.
    auto body = [&](unsigned int b, unsigned int) { work(s, b % s.regions); };
    run_bands(0, s.regions, static_cast<size_t>(height) * row_bytes / 3, body);
    return !s.left_out.load(std::memory_order_relaxed);
}
