#include "capture/pattern.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/dib.h"

namespace {

struct Delivery {
    std::mutex mutex;
    std::condition_variable wake;  // both ways: stop asked, thread finished
    bool stop_requested = false;
    bool finished = false;
    std::thread thread;
};

// Built on first use and never destroyed, so no static destructor meets a
// joinable std::thread (which would abort the process).
Delivery &delivery() {
    static Delivery *instance = new Delivery;
    return *instance;
}

// A process that exits without camera_stop (its X server gone, say) stops
// the pattern first, so that the thread does not run on into the program's
// destroyed statics. The exiting thread might hold frame_lock, which the
// delivery thread could be waiting for: the wait is bounded, and a thread
// that does not finish in time is left to the process's end.
void stop_at_exit() {
    Delivery &d = delivery();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.thread.joinable()) return;
    d.stop_requested = true;
    d.wake.notify_all();
    bool done = d.thread.get_id() != std::this_thread::get_id() &&
                d.wake.wait_for(lock, std::chrono::milliseconds(500), [&d] { return d.finished; });
    if (done) {
        std::thread finished = std::move(d.thread);
        lock.unlock();
        finished.join();
    } else {
        d.thread.detach();
    }
}

const std::chrono::microseconds frame_period(33333);

void deliver(void (*frame_function)(unsigned char *, int, int), std::vector<unsigned char> frame, int width,
             int height) {
    Delivery &d = delivery();
    auto due = std::chrono::steady_clock::now();
    for (unsigned n = 0;; ++n) {
        pattern_draw(frame.data(), width, height, n);
        frame_function(frame.data(), static_cast<int>(frame.size()), 24);
        due += frame_period;
        auto now = std::chrono::steady_clock::now();
        // After a slow frame, carry on from now rather than catch up in a burst.
        if (due < now) due = now;
        std::unique_lock<std::mutex> lock(d.mutex);
        if (d.wake.wait_until(lock, due, [&d] { return d.stop_requested; })) {
            d.finished = true;
            d.wake.notify_all();
            return;
        }
    }
}

unsigned char clamp_byte(int v) { return static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

void pattern_draw(unsigned char *dib, int width, int height, unsigned n) {
    if (!dib || width <= 0 || height <= 0) return;
    const size_t stride = dib_stride(static_cast<size_t>(width));
    static const unsigned char bars[8][3] = {// blue, green, red
                                             {255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                             {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    const int bar_bottom = height / 6;
    const int checker_top = height - height / 5;
    const int square = width / 16 > 0 ? width / 16 : 1;

    // The disc travels a Lissajous path over the middle of the picture.
    const double t = static_cast<double>(n);
    const int radius = height / 10 > 2 ? height / 10 : 2;
    const int cx = static_cast<int>(width / 2 + (width / 3) * std::sin(t * 0.045));
    const int cy =
        static_cast<int>(height / 2 + ((checker_top - bar_bottom) / 2 - radius) * std::sin(t * 0.07 + 1.0));
    const long long r2 = static_cast<long long>(radius) * radius;
    const long long inner2 = static_cast<long long>(radius * 3 / 4) * (radius * 3 / 4);
    // A band of diagonal stripes below the bars. It stays still, so the
    // disc is the only motion and the tracker follows it.
    const int stripe_bottom = bar_bottom + height / 16;

    for (int y = 0; y < height; ++y) {
        // y counts from the top of the picture; DIB rows run bottom-up.
        unsigned char *row = dib + stride * static_cast<size_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            unsigned char *p = row + static_cast<size_t>(x) * 3;
            int b, g, r;
            if (y < bar_bottom) {
                const unsigned char *bar = bars[x * 8 / width];
                b = bar[0], g = bar[1], r = bar[2];
            } else if (y >= checker_top) {
                bool dark = ((x / square) + ((y - checker_top) / square)) % 2 == 0;
                b = g = r = dark ? 32 : 224;
            } else if (y < stripe_bottom) {
                bool on = ((x + y) / 16) % 2 == 0;
                b = on ? 200 : 40;
                g = on ? 120 : 40;
                r = on ? 40 : 90;
            } else {
                // Red rises to the right, green downwards, blue across the diagonal.
                r = x * 255 / (width > 1 ? width - 1 : 1);
                g = (y - stripe_bottom) * 255 /
                    (checker_top - stripe_bottom > 1 ? checker_top - stripe_bottom - 1 : 1);
                b = 255 - (r + g) / 2;
            }
            long long dx = x - cx;
            long long dy = y - cy;
            long long d2 = dx * dx + dy * dy;
            if (d2 <= r2) {
                if (d2 >= inner2) {
                    b = g = r = 16;  // dark rim
                } else {
                    b = 250, g = 250, r = 250;
                }
            }
            p[0] = clamp_byte(b);
            p[1] = clamp_byte(g);
            p[2] = clamp_byte(r);
        }
        // Row padding stays zero.
        for (size_t i = static_cast<size_t>(width) * 3; i < stride; ++i) row[i] = 0;
    }
}

bool pattern_start(void (*frame_function)(unsigned char *, int, int), int width, int height) {
    if (!frame_function || width <= 0 || height <= 0 || width > 16384 || height > 16384) return false;
    Delivery &d = delivery();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.thread.joinable()) return false;
    const size_t stride = dib_stride(static_cast<size_t>(width));
    const size_t bytes = stride * static_cast<size_t>(height);
    if (bytes > static_cast<size_t>(INT_MAX)) return false;
    static bool exit_hook = std::atexit(stop_at_exit) == 0;
    (void)exit_hook;
    try {
        std::vector<unsigned char> frame(bytes, 0);
        d.stop_requested = false;
        d.finished = false;
        d.thread = std::thread(deliver, frame_function, std::move(frame), width, height);
    } catch (const std::bad_alloc &) {
        return false;
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void pattern_stop() {
    Delivery &d = delivery();
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.thread.joinable()) return;
        d.stop_requested = true;
        finished = std::move(d.thread);
    }
    d.wake.notify_all();
    finished.join();
}

bool pattern_running() {
    Delivery &d = delivery();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.thread.joinable();
}
