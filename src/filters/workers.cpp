#include "filters/workers.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const unsigned int max_threads = 8;

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
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread &t : helpers_) t.join();
    }

    void run(unsigned int begin, unsigned int end, unsigned int bands, band_function fn, void *context) {
        std::lock_guard<std::mutex> one_job(call_mutex_);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            while (helpers_.size() + 1 < bands) {
                const unsigned int index = static_cast<unsigned int>(helpers_.size()) + 1;
                helpers_.emplace_back([this, index] { helper(index); });
            }
            fn_ = fn;
            context_ = context;
            begin_ = begin;
            end_ = end;
            bands_ = bands;
            pending_ = bands - 1;
            ++generation_;
        }
        wake_.notify_all();

        unsigned int b, e;
        band(0, b, e);
        inside_band = true;
        fn(context, b, e);
        inside_band = false;

        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return pending_ == 0; });
    }

private:
    void band(unsigned int index, unsigned int &b, unsigned int &e) const {
        const unsigned long long rows = end_ - begin_;
        b = begin_ + static_cast<unsigned int>(rows * index / bands_);
        e = begin_ + static_cast<unsigned int>(rows * (index + 1) / bands_);
    }

    void helper(unsigned int index) {
        inside_band = true;
        unsigned long long seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            if (index >= bands_) continue;
            unsigned int b, e;
            band(index, b, e);
            band_function fn = fn_;
            void *context = context_;
            lock.unlock();
            fn(context, b, e);
            lock.lock();
            if (--pending_ == 0) done_.notify_one();
        }
    }

    std::mutex call_mutex_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<std::thread> helpers_;
    band_function fn_ = nullptr;
    void *context_ = nullptr;
    unsigned int begin_ = 0, end_ = 0, bands_ = 1, pending_ = 0;
    unsigned long long generation_ = 0;
    bool stopping_ = false;
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
