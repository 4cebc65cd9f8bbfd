#include "platform/headless/headless.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "platform/internal.h"
#include "platform/trace.h"

using namespace lvx;

namespace {

class HeadlessBackend : public Backend {
  public:
    bool create(Window &window, int client_w, int client_h) override {
        if (refuse) {
            std::fprintf(stderr, "lumivex: no display (the headless backend refuses windows)\n");
            return false;
        }
        make_screen(window, client_w, client_h);
        return true;
    }
    void show(Window &, bool) override {}
    void destroy(Window &) override {}
    void pump() override {}
    void wait(std::unique_lock<std::mutex> &core, Queue &queue, uint64_t) override {
        // The simulated clock moves only through headless_advance_clock, which
        // wakes every queue, so a deadline never needs a timed wait.
        queue.wake_cv.wait(core, [&] { return queue.woken; });
        queue.woken = false;
    }
    void wake(Queue &queue) override {
        queue.woken = true;
        queue.wake_cv.notify_all();
    }
    // No display to wait for: a published picture counts as shown at once.
    void published(Window &window) override {
        std::lock_guard<std::mutex> lock(window.screen.lock);
        trace_shown(window.screen);
        window.screen.fresh = false;
    }
    uint64_t now_ms() override { return clock; }

    // The window's screen: a buffer of its client size in the display's
    // usual format (blue, green, red, unused), for tests to read what
    // reached it.
    void make_screen(Window &window, int width, int height) {
        std::lock_guard<std::mutex> lock(window.screen.lock);
        std::vector<uint8_t> &pixels = screens[&window];
        try {
            pixels.assign(static_cast<size_t>(std::max(width, 0)) * std::max(height, 0) * 4, 0);
        } catch (const std::bad_alloc &) {
            // As the surface: no memory, no screen until the next size.
            std::vector<uint8_t>().swap(pixels);
            width = height = 0;
        }
        window.screen.pixels = pixels.empty() ? nullptr : pixels.data();
        window.screen.pitch = static_cast<size_t>(std::max(width, 0)) * 4;
        window.screen.width = width;
        window.screen.height = height;
        window.screen.fresh = false;
    }

    bool refuse = false;                               // guarded by the core lock
    uint64_t clock = 0;                                // guarded by the core lock
    std::map<Window *, std::vector<uint8_t>> screens;  // each guarded by its window's screen lock
};

HeadlessBackend &instance() {
    static HeadlessBackend b;
    return b;
}

std::mutex free_surfaces_lock;
std::vector<std::unique_ptr<Surface>> free_surfaces;

// Core lock held.
bool idle_now(Window *w) {
    Queue &q = *w->queue;
    return q.waiting && !q.woken && queue_idle(q, instance().clock);
}

template <class Ready>
bool wait_for(std::unique_lock<std::mutex> &lock, int timeout_ms, Ready ready) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    return idle_cv().wait_until(lock, deadline, ready);
}

LPARAM key_lparam(bool down, bool repeat) {
    uint32_t bits = 1;                      // repeat count
    if (repeat || !down) bits |= 1u << 30;  // the key was down before
    if (!down) bits |= 1u << 31;
    return static_cast<LPARAM>(bits);
}

}  // namespace

namespace lvx {
Backend &backend() { return instance(); }
}  // namespace lvx

HWND headless_wait_window(const char *caption, int timeout_ms) {
    std::unique_lock<std::mutex> lock(core_mutex());
    Window *found = nullptr;
    bool ok = wait_for(lock, timeout_ms, [&] {
        found = find_window(caption ? caption : "");
        return found && idle_now(found);
    });
    return ok ? to_hwnd(found) : nullptr;
}

bool headless_wait_idle(HWND hwnd, int timeout_ms) {
    Window *w = from_hwnd(hwnd);
    if (!w) return false;
    std::unique_lock<std::mutex> lock(core_mutex());
    return wait_for(lock, timeout_ms, [&] { return idle_now(w); });
}

void headless_key(HWND hwnd, unsigned int vk, bool down, bool repeat) {
    post_input(from_hwnd(hwnd), down ? WM_KEYDOWN : WM_KEYUP, vk, key_lparam(down, repeat));
}

void headless_press(HWND hwnd, unsigned int vk) {
    headless_key(hwnd, vk, true);
    headless_key(hwnd, vk, false);
}

void headless_resize(HWND hwnd, int width, int height) {
    Window *w = from_hwnd(hwnd);
    {
        std::lock_guard<std::mutex> lock(core_mutex());
        if (!is_live(w)) return;
    }
    instance().make_screen(*w, width, height);
    resize_client(w, width, height);
}

void headless_close(HWND hwnd) { post_input(from_hwnd(hwnd), WM_CLOSE, 0, 0); }

void headless_advance_clock(unsigned int milliseconds) {
    std::lock_guard<std::mutex> lock(core_mutex());
    instance().clock += milliseconds;
    wake_all_queues();
}

void headless_console_event(DWORD event) { console_event(event); }

HeadlessWindowInfo headless_window_info(HWND hwnd) {
    HeadlessWindowInfo info;
    Window *w = from_hwnd(hwnd);
    std::lock_guard<std::mutex> lock(core_mutex());
    if (!w) return info;
    info.exists = true;
    info.alive = w->alive;
    info.visible = w->visible;
    info.needs_paint = w->needs_paint;
    info.paints = w->paints;
    info.caption = w->caption;
    info.class_name = w->class_name;
    info.x = w->x;
    info.y = w->y;
    std::lock_guard<std::mutex> surface_lock(w->surface.lock);
    info.client_width = w->surface.width;
    info.client_height = w->surface.height;
    return info;
}

int headless_quit_posts() { return quit_posts(); }

uint32_t HeadlessImage::at(int x, int y) const {
    const uint8_t *p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
    return (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

HeadlessImage headless_read(HDC hdc) {
    HeadlessImage image;
    if (!hdc) return image;
    Surface *s = from_hdc(hdc);
    std::lock_guard<std::mutex> lock(s->lock);
    image.width = s->width;
    image.height = s->height;
    image.pixels = s->pixels;
    return image;
}

HeadlessImage headless_read_screen(HWND hwnd) {
    HeadlessImage image;
    Window *w = from_hwnd(hwnd);
    if (!w) return image;
    std::lock_guard<std::mutex> lock(w->screen.lock);
    if (!w->screen.pixels) return image;
    image.width = w->screen.width;
    image.height = w->screen.height;
    image.pixels.resize(static_cast<size_t>(image.width) * image.height * 3);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            std::memcpy(&image.pixels[(static_cast<size_t>(y) * image.width + x) * 3],
                        w->screen.pixels + y * w->screen.pitch + static_cast<size_t>(x) * 4, 3);
    return image;
}

HDC headless_create_surface(int width, int height) {
    auto s = std::make_unique<Surface>();
    s->width = width;
    s->height = height;
    s->pixels.assign(static_cast<size_t>(width) * height * 3, 0xff);
    std::lock_guard<std::mutex> lock(free_surfaces_lock);
    free_surfaces.push_back(std::move(s));
    return to_hdc(free_surfaces.back().get());
}

void headless_refuse_windows(bool refuse) {
    std::lock_guard<std::mutex> lock(core_mutex());
    instance().refuse = refuse;
}
