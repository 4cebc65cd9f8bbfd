#include "common/workers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#include <emmintrin.h>
#define LUMIVEX_CPU_PAUSE() _mm_pause()
#else
#define LUMIVEX_CPU_PAUSE() std::this_thread::yield()
#endif

namespace {

const unsigned int max_threads = 8;

// A frame's stages come back to back, often less than a hundred
// microseconds apart: helpers and the waiting caller poll this long before
// they sleep on a condition variable (a wake-up through it costs about as
// much again).
const auto spin_time = std::chrono::microseconds(30);

// Polls `ready` for up to spin_time: short bursts of pause instructions,
// each followed by a yield so that a thread we wait for gets the processor
// when there are more runnable threads than cores. True if it held.
template <class F>
bool spin_until(F ready) {
    const auto deadline = std::chrono::steady_clock::now() + spin_time;
    for (;;) {
        for (int i = 0; i < 32; ++i) {
            if (ready()) return true;
            LUMIVEX_CPU_PAUSE();
        }
        if (std::chrono::steady_clock::now() >= deadline) return ready();
        std::this_thread::yield();
    }
}

unsigned int default_threads() {
    unsigned int n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    return std::min(n, max_threads);
}

std::atomic<unsigned int> thread_setting{0};  // 0: default
std::atomic<size_t> min_band_work{32768};

// Set on the pool's helper threads and while the caller runs its band, so a
// nested call runs inline instead of waiting for itself.
thread_local bool inside_band = false;

class pool {
public:
    ~pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_.store(true, std::memory_order_relaxed);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();
        for (std::thread &t : helpers_) t.join();
    }

    void run(unsigned int begin, unsigned int end, unsigned int bands, band_function fn, void *context) {
        std::lock_guard<std::mutex> one_job(call_mutex_);
        while (helpers_.size() + 1 < bands) {
            const unsigned int index = static_cast<unsigned int>(helpers_.size()) + 1;
            const unsigned long long current = generation_.load(std::memory_order_acquire);
            helpers_.emplace_back([this, index, current] { helper(index, current); });
        }
        // The job's fields are published by the release of generation_ and
        // read by helpers after they see it change; every helper, whether it
        // has a band or not, acknowledges the job before the next is set up.
        fn_ = fn;
        context_ = context;
        begin_ = begin;
        end_ = end;
        bands_ = bands;
        pending_.store(static_cast<unsigned int>(helpers_.size()), std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            generation_.fetch_add(1, std::memory_order_release);
        }
        wake_.notify_all();

        unsigned int b, e;
        band(0, b, e);
        inside_band = true;
        fn(context, b, e);
        inside_band = false;

        if (spin_until([this] { return pending_.load(std::memory_order_acquire) == 0; })) return;
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
    }

private:
    void band(unsigned int index, unsigned int &b, unsigned int &e) const {
        const unsigned long long rows = end_ - begin_;
        b = begin_ + static_cast<unsigned int>(rows * index / bands_);
        e = begin_ + static_cast<unsigned int>(rows * (index + 1) / bands_);
    }

    // `seen`: the last job generation before this helper existed.
    void helper(unsigned int index, unsigned long long seen) {
        inside_band = true;
        for (;;) {
            // Wait for a new job: poll a while, then sleep.
            unsigned long long now = seen;
            spin_until([&] { return (now = generation_.load(std::memory_order_acquire)) != seen; });
            if (now == seen) {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [&] { return generation_.load(std::memory_order_acquire) != seen; });
                now = generation_.load(std::memory_order_acquire);
            }
            seen = now;
            if (stopping_.load(std::memory_order_relaxed)) return;
            if (index < bands_) {
                unsigned int b, e;
                band(index, b, e);
                fn_(context_, b, e);
            }
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                std::lock_guard<std::mutex> lock(mutex_);
                done_.notify_one();
            }
        }
    }

    std::mutex call_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> helpers_;
    band_function fn_ = nullptr;
    void *context_ = nullptr;
    unsigned int begin_ = 0, end_ = 0, bands_ = 1;
    std::atomic<unsigned int> pending_{0};
    std::atomic<unsigned long long> generation_{0};
    std::atomic<bool> stopping_{false};
};

pool &the_pool() {
    static pool p;
    return p;
}

}  // namespace

void set_worker_threads(unsigned int threads) { thread_setting = std::min(threads, max_threads); }

unsigned int worker_threads() {
    unsigned int n = thread_setting.load();
    return n != 0 ? n : default_threads();
}

void set_min_band_work(size_t work) { min_band_work = work; }

void run_bands(unsigned int begin, unsigned int end, size_t work, band_function fn, void *context) {
    if (end <= begin) return;
    unsigned int bands = std::min(worker_threads(), end - begin);
    const size_t per_band = min_band_work.load();
    if (per_band > 0) bands = static_cast<unsigned int>(std::min<size_t>(bands, std::max<size_t>(1, work / per_band)));
    if (bands <= 1 || inside_band) {
        fn(context, begin, end);
        return;
    }
    the_pool().run(begin, end, bands, fn, context);
}

void parallel_copy(void *destination, const void *source, size_t bytes) {
    const size_t block = 16384;
    const size_t blocks = (bytes + block - 1) / block;
    if (blocks == 0) return;
    unsigned char *d = static_cast<unsigned char *>(destination);
    const unsigned char *s = static_cast<const unsigned char *>(source);
    auto body = [&](unsigned int b, unsigned int e) {
        const size_t first = b * block, last = std::min(bytes, static_cast<size_t>(e) * block);
        std::memcpy(d + first, s + first, last - first);
    };
    // Below a few megabytes the copy stays in the caches and a second thread
    // costs more than it saves (a 640 x 480 frame is 0.9 MB, 1920 x 1080 6.2 MB).
    if (bytes < (size_t(4) << 20)) {
        std::memcpy(d, s, bytes);
        return;
    }
    run_bands(0, static_cast<unsigned int>(blocks), bytes, body);
}
