#include "capture/pattern.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
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

void deliver(void (*frame_function)(unsigned char *, int, int), std::vector<unsigned char> frame,
             PatternFrames frames) {
    Delivery &d = delivery();
    auto due = std::chrono::steady_clock::now();
    for (unsigned n = 0;; ++n) {
        frames.draw(frame.data(), n);
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

// The still part of the picture: colour bars at the top, a band of
// diagonal stripes below them, gradients in the middle, a checkerboard at the
// bottom. Rows count from the top.
struct Layout {
    int width, height;
    int bar_bottom, stripe_bottom, checker_top, square;
    Layout(int w, int h)
        : width(w),
          height(h),
          bar_bottom(h / 6),
          // The stripes stay still, so the disc is the only motion and the
          // tracker follows it.
          stripe_bottom(h / 6 + h / 16),
          checker_top(h - h / 5),
          square(w / 16 > 0 ? w / 16 : 1) {}
};

void background_at(const Layout &l, int x, int y, unsigned char *p) {
    static const unsigned char bars[8][3] = {// blue, green, red
                                             {255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                             {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
    int b, g, r;
    if (y < l.bar_bottom) {
        const unsigned char *bar = bars[x * 8 / l.width];
        b = bar[0], g = bar[1], r = bar[2];
    } else if (y >= l.checker_top) {
        bool dark = ((x / l.square) + ((y - l.checker_top) / l.square)) % 2 == 0;
        b = g = r = dark ? 32 : 224;
    } else if (y < l.stripe_bottom) {
        bool on = ((x + y) / 16) % 2 == 0;
        b = on ? 200 : 40;
        g = on ? 120 : 40;
        r = on ? 40 : 90;
    } else {
        // Red rises to the right, green downwards, blue across the diagonal.
        r = x * 255 / (l.width > 1 ? l.width - 1 : 1);
        g = (y - l.stripe_bottom) * 255 /
            (l.checker_top - l.stripe_bottom > 1 ? l.checker_top - l.stripe_bottom - 1 : 1);
        b = 255 - (r + g) / 2;
    }
    p[0] = clamp_byte(b);
    p[1] = clamp_byte(g);
    p[2] = clamp_byte(r);
}

// The disc of frame n: a dark rim around a white inside. It travels a
// Lissajous path over the middle of the picture.
struct Disc {
    int cx, cy;
    long long r2;      // squared distances up to this are the disc
    long long inner2;  // and those below this its inside
};

Disc disc_of(const Layout &l, unsigned n) {
    const double t = static_cast<double>(n);
    const int radius = l.height / 10 > 2 ? l.height / 10 : 2;
    Disc d;
    d.cx = static_cast<int>(l.width / 2 + (l.width / 3) * std::sin(t * 0.045));
    d.cy = static_cast<int>(l.height / 2 +
                            ((l.checker_top - l.bar_bottom) / 2 - radius) * std::sin(t * 0.07 + 1.0));
    d.r2 = static_cast<long long>(radius) * radius;
    d.inner2 = static_cast<long long>(radius * 3 / 4) * (radius * 3 / 4);
    return d;
}

const unsigned char disc_rim = 16;
const unsigned char disc_inside = 250;

// The largest a >= 0 with a * a <= v, for v >= 0.
long long root_floor(long long v) {
    long long a = static_cast<long long>(std::sqrt(static_cast<double>(v)));
    while (a > 0 && a * a > v) --a;
    while ((a + 1) * (a + 1) <= v) ++a;
    return a;
}

// Sets columns cx - half .. cx + half of a row (clipped) to one grey.
void fill_span(unsigned char *row, int width, long long cx, long long half, unsigned char grey) {
    const long long x0 = std::max<long long>(cx - half, 0);
    const long long x1 = std::min<long long>(cx + half + 1, width);
    if (x1 > x0) std::memset(row + x0 * 3, grey, static_cast<size_t>(x1 - x0) * 3);
}

}  // namespace

// The plain version: every pixel on its own, from its position alone.
void pattern_draw(unsigned char *dib, int width, int height, unsigned n) {
    if (!dib || width <= 0 || height <= 0) return;
    const size_t stride = dib_stride(static_cast<size_t>(width));
    const Layout l(width, height);
    const Disc d = disc_of(l, n);
    for (int y = 0; y < height; ++y) {
        // y counts from the top of the picture; DIB rows run bottom-up.
        unsigned char *row = dib + stride * static_cast<size_t>(height - 1 - y);
        for (int x = 0; x < width; ++x) {
            unsigned char *p = row + static_cast<size_t>(x) * 3;
            background_at(l, x, y, p);
            long long dx = x - d.cx;
            long long dy = y - d.cy;
            long long d2 = dx * dx + dy * dy;
            if (d2 <= d.r2) p[0] = p[1] = p[2] = d2 >= d.inner2 ? disc_rim : disc_inside;
        }
        // Row padding stays zero.
        for (size_t i = static_cast<size_t>(width) * 3; i < stride; ++i) row[i] = 0;
    }
}

bool PatternFrames::prepare(int width, int height) {
    width_ = height_ = 0;
    background_.clear();
    if (width <= 0 || height <= 0) return false;
    try {
        background_.assign(dib_stride(static_cast<size_t>(width)) * static_cast<size_t>(height), 0);
    } catch (const std::bad_alloc &) {
        return false;
    }
    width_ = width;
    height_ = height;
    const size_t stride = dib_stride(static_cast<size_t>(width));
    const Layout l(width, height);
    for (int y = 0; y < height; ++y) {
        unsigned char *row = &background_[stride * static_cast<size_t>(height - 1 - y)];
        for (int x = 0; x < width; ++x) background_at(l, x, y, row + static_cast<size_t>(x) * 3);
    }
    return true;
}

void PatternFrames::draw(unsigned char *dib, unsigned n) const {
    if (!dib || background_.empty()) return;
    std::memcpy(dib, background_.data(), background_.size());
    // Then the disc, row by row as spans of one grey: the rim where the
    // squared distance reaches inner2, the inside nearer the centre.
    const size_t stride = dib_stride(static_cast<size_t>(width_));
    const Layout l(width_, height_);
    const Disc d = disc_of(l, n);
    const long long radius = root_floor(d.r2);
    const long long y0 = std::max<long long>(d.cy - radius, 0);
    const long long y1 = std::min<long long>(d.cy + radius + 1, height_);
    for (long long y = y0; y < y1; ++y) {
        const long long dy2 = (y - d.cy) * (y - d.cy);
        if (dy2 > d.r2) continue;
        unsigned char *row = dib + stride * static_cast<size_t>(height_ - 1 - y);
        fill_span(row, width_, d.cx, root_floor(d.r2 - dy2), disc_rim);
        if (d.inner2 - 1 - dy2 >= 0)
            fill_span(row, width_, d.cx, root_floor(d.inner2 - 1 - dy2), disc_inside);
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
        PatternFrames frames;
        if (!frames.prepare(width, height)) return false;
        d.stop_requested = false;
        d.finished = false;
        d.thread = std::thread(deliver, frame_function, std::move(frame), std::move(frames));
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
