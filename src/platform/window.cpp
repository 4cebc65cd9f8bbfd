// Windows, message queues, timers and repaint marks of the portable layer.
#include "platform/window.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <map>
#include <memory>
#include <new>

#include "platform/gdi.h"
#include "platform/internal.h"

namespace lvx {
namespace {

std::mutex core;
std::condition_variable idle;
std::map<std::thread::id, std::unique_ptr<Queue>> queues;
// Every window ever created. A destroyed window stays here (dead) so that
// its handle and device context never dangle.
std::vector<std::unique_ptr<Window>> windows;

struct ClassRecord {
    std::string name;
    WNDPROC proc;
};
std::vector<ClassRecord> classes;
ATOM next_atom = 0xC000;

const int frame_width = 7;
const int frame_height = 27;
const UINT min_timer_ms = 10;
const uint64_t no_deadline = UINT64_MAX;

char module_tag;
char icon_tag;
char cursor_tag;

LPARAM size_lparam(int width, int height) {
    return static_cast<LPARAM>((static_cast<uint32_t>(height & 0xffff) << 16) |
                               static_cast<uint32_t>(width & 0xffff));
}

bool takes(const Window *only, const Window *window) { return only == nullptr || only == window; }

bool take_posted(Queue &queue, Window *only, MSG &msg) {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!takes(only, from_hwnd(it->hwnd))) continue;
        msg = *it;
        queue.posted.erase(it);
        return true;
    }
    return false;
}

Window *due_paint(Queue &queue, Window *only) {
    for (auto &w : windows) {
        if (w->queue == &queue && w->alive && w->needs_paint && takes(only, w.get())) return w.get();
    }
    return nullptr;
}

Queue::Timer *due_timer(Queue &queue, Window *only, uint64_t now) {
    Queue::Timer *first = nullptr;
    for (auto &t : queue.timers) {
        if (t.due <= now && takes(only, t.window) && (!first || t.due < first->due)) first = &t;
    }
    return first;
}

uint64_t next_deadline(Queue &queue, Window *only) {
    uint64_t deadline = no_deadline;
    for (auto &t : queue.timers) {
        if (takes(only, t.window)) deadline = std::min(deadline, t.due);
    }
    return deadline;
}

MSG make_msg(Window *window, UINT message, WPARAM wparam, LPARAM lparam, uint64_t now) {
    MSG msg{};
    msg.hwnd = to_hwnd(window);
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    msg.time = static_cast<DWORD>(now);
    return msg;
}

// Looks up a live window; core lock held.
Window *live(HWND hwnd) {
    Window *w = from_hwnd(hwnd);
    return is_live(w) ? w : nullptr;
}

}  // namespace

std::mutex &core_mutex() { return core; }

std::condition_variable &idle_cv() { return idle; }

Queue &this_thread_queue() {
    auto &slot = queues[std::this_thread::get_id()];
    if (!slot) slot = std::make_unique<Queue>();
    return *slot;
}

bool is_live(Window *window) {
    if (!window) return false;
    for (auto &w : windows) {
        if (w.get() == window) return w->alive;
    }
    return false;
}

Window *find_window(const std::string &caption) {
    for (auto &w : windows) {
        if (w->alive && w->caption == caption) return w.get();
    }
    return nullptr;
}

void wake_all_queues() {
    for (auto &entry : queues) backend().wake(*entry.second);
}

bool queue_idle(Queue &queue, uint64_t now) {
    return queue.posted.empty() && !queue.quit && !due_paint(queue, nullptr) &&
           !due_timer(queue, nullptr, now);
}

// Set once every window was asked to close: any made later is asked too.
std::atomic<bool> closing_all{false};

void close_all_windows() {
    closing_all = true;
    std::vector<HWND> open;
    {
        std::lock_guard<std::mutex> lock(core);
        for (auto &w : windows) {
            if (w->alive) open.push_back(to_hwnd(w.get()));
        }
    }
    for (HWND hwnd : open) PostMessageA(hwnd, WM_CLOSE, 0, 0);
}

bool post_input(Window *window, UINT message, WPARAM wparam, LPARAM lparam) {
    return PostMessageA(to_hwnd(window), message, wparam, lparam) != FALSE;
}

void resize_client(Window *window, int width, int height) {
    width = std::max(0, std::min(width, 0xffff));
    height = std::max(0, std::min(height, 0xffff));
    {
        std::lock_guard<std::mutex> lock(core);
        if (!is_live(window)) return;
    }
    {
        Surface &s = window->surface;
        std::lock_guard<std::mutex> lock(s.lock);
        std::vector<uint8_t> pixels;
        try {
            pixels.assign(static_cast<size_t>(width) * height * 3, 0xff);
        } catch (const std::bad_alloc &) {
            // No memory for a surface this big: the client area counts as
            // empty (as when minimised) until the next size change.
            std::fprintf(stderr, "lumivex: no memory for a %d x %d window\n", width, height);
            width = 0;
            height = 0;
        }
        int keep_w = std::min(width, s.width);
        int keep_h = std::min(height, s.height);
        for (int y = 0; y < keep_h; ++y) {
            std::copy_n(&s.pixels[static_cast<size_t>(y) * s.width * 3], static_cast<size_t>(keep_w) * 3,
                        &pixels[static_cast<size_t>(y) * width * 3]);
        }
        s.pixels.swap(pixels);
        s.width = width;
        s.height = height;
    }
    {
        std::lock_guard<std::mutex> lock(core);
        if (!is_live(window)) return;
        window->needs_paint = true;
        WPARAM kind = (width == 0 && height == 0) ? SIZE_MINIMIZED : SIZE_RESTORED;
        window->queue->posted.push_back(
            make_msg(window, WM_SIZE, kind, size_lparam(width, height), backend().now_ms()));
        backend().wake(*window->queue);
    }
}

}  // namespace lvx

using namespace lvx;

HINSTANCE GetModuleHandleA(LPCSTR) { return reinterpret_cast<HINSTANCE>(&module_tag); }

ATOM RegisterClassExA(const WNDCLASSEXA *window_class) {
    if (!window_class || window_class->cbSize != sizeof(WNDCLASSEXA) || !window_class->lpfnWndProc ||
        !window_class->lpszClassName || !*window_class->lpszClassName)
        return 0;
    std::lock_guard<std::mutex> lock(core);
    for (auto &c : classes) {
        if (c.name == window_class->lpszClassName) return 0;
    }
    classes.push_back({window_class->lpszClassName, window_class->lpfnWndProc});
    return next_atom++;
}

HWND CreateWindowExA(DWORD, LPCSTR class_name, LPCSTR caption, DWORD, int x, int y, int width, int height,
                     HWND, HMENU, HINSTANCE, LPVOID) {
    if (!class_name) return nullptr;
    Window *window = nullptr;
    int client_w = std::max(0, std::min(width - frame_width, 0xffff));
    int client_h = std::max(0, std::min(height - frame_height, 0xffff));
    {
        std::lock_guard<std::mutex> lock(core);
        auto c = std::find_if(classes.begin(), classes.end(),
                              [&](const ClassRecord &r) { return r.name == class_name; });
        if (c == classes.end()) return nullptr;
        auto w = std::make_unique<Window>();
        w->class_name = class_name;
        w->caption = caption ? caption : "";
        w->proc = c->proc;
        w->thread = std::this_thread::get_id();
        w->x = x;
        w->y = y;
        w->queue = &this_thread_queue();
        w->surface.width = client_w;
        w->surface.height = client_h;
        w->surface.pixels.assign(static_cast<size_t>(client_w) * client_h * 3, 0xff);
        w->surface.window = w.get();
        window = w.get();
        windows.push_back(std::move(w));
    }
    if (!backend().create(*window, client_w, client_h)) {
        window->alive = false;
        return nullptr;
    }
    HWND hwnd = to_hwnd(window);
    if (window->proc(hwnd, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    window->proc(hwnd, WM_SIZE, SIZE_RESTORED, size_lparam(client_w, client_h));
    {
        std::lock_guard<std::mutex> lock(core);
        if (!is_live(window)) return nullptr;
        window->needs_paint = true;
    }
    // An interrupt came while the program was starting: this window closes as the others did.
    if (closing_all) PostMessageA(hwnd, WM_CLOSE, 0, 0);
    return hwnd;
}

BOOL ShowWindow(HWND hwnd, int show_command) {
    Window *w;
    bool was_visible;
    {
        std::lock_guard<std::mutex> lock(core);
        w = live(hwnd);
        if (!w) return FALSE;
        was_visible = w->visible;
        w->visible = show_command != SW_HIDE;
    }
    backend().show(*w, show_command != SW_HIDE);
    return was_visible ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND hwnd) {
    Window *w;
    {
        std::lock_guard<std::mutex> lock(core);
        w = live(hwnd);
        if (!w || w->destroying || w->thread != std::this_thread::get_id()) return FALSE;
        w->destroying = true;
    }
    w->proc(hwnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> lock(core);
        w->alive = false;
        w->needs_paint = false;
        auto &timers = w->queue->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(),
                                    [&](const Queue::Timer &t) { return t.window == w; }),
                     timers.end());
        auto &posted = w->queue->posted;
        posted.erase(
            std::remove_if(posted.begin(), posted.end(), [&](const MSG &m) { return m.hwnd == hwnd; }),
            posted.end());
    }
    backend().destroy(*w);
    return TRUE;
}

HDC GetDC(HWND hwnd) {
    std::lock_guard<std::mutex> lock(core);
    Window *w = live(hwnd);
    return w ? to_hdc(&w->surface) : nullptr;
}

HICON LoadIconA(HINSTANCE, LPCSTR name) {
    return name == IDI_APPLICATION ? reinterpret_cast<HICON>(&icon_tag) : nullptr;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR name) {
    return name == IDC_ARROW ? reinterpret_cast<HCURSOR>(&cursor_tag) : nullptr;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT, UINT) {
    if (!msg) return -1;
    *msg = MSG{};
    Window *only = from_hwnd(hwnd);
    for (;;) {
        backend().pump();
        std::unique_lock<std::mutex> lock(core);
        if (only && !is_live(only)) return -1;
        Queue &q = this_thread_queue();
        uint64_t now = backend().now_ms();
        if (take_posted(q, only, *msg)) return TRUE;
        if (q.quit) {
            q.quit = false;
            *msg = make_msg(nullptr, WM_QUIT, static_cast<WPARAM>(q.quit_code), 0, now);
            return FALSE;
        }
        if (Window *w = due_paint(q, only)) {
            // Stays marked: a paint that does not validate comes back at once.
            ++w->paints;
            *msg = make_msg(w, WM_PAINT, 0, 0, now);
            return TRUE;
        }
        if (Queue::Timer *t = due_timer(q, only, now)) {
            t->due = now + t->period;
            *msg = make_msg(t->window, WM_TIMER, t->id, 0, now);
            return TRUE;
        }
        q.waiting = true;
        idle.notify_all();
        backend().wait(lock, q, next_deadline(q, only));
        q.waiting = false;
    }
}

BOOL TranslateMessage(const MSG *) { return FALSE; }

LRESULT DispatchMessageA(const MSG *msg) {
    if (!msg || !msg->hwnd) return 0;
    WNDPROC proc;
    {
        std::lock_guard<std::mutex> lock(core);
        Window *w = live(msg->hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_PAINT:
            ValidateRect(hwnd, nullptr);
            return 0;
        default:
            return 0;
    }
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    std::lock_guard<std::mutex> lock(core);
    Window *w = nullptr;
    Queue *q;
    if (hwnd) {
        w = live(hwnd);
        if (!w) return FALSE;
        q = w->queue;
    } else {
        q = &this_thread_queue();
    }
    q->posted.push_back(make_msg(w, message, wparam, lparam, backend().now_ms()));
    backend().wake(*q);
    return TRUE;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT milliseconds, TIMERPROC callback) {
    if (callback) return 0;
    std::lock_guard<std::mutex> lock(core);
    Window *w = live(hwnd);
    if (!w) return 0;
    UINT period = std::max(milliseconds, min_timer_ms);
    uint64_t due = backend().now_ms() + period;
    auto &timers = w->queue->timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Queue::Timer &t) { return t.window == w && t.id == id; });
    if (it != timers.end()) {
        it->period = period;
        it->due = due;
    } else {
        timers.push_back({w, id, period, due});
    }
    backend().wake(*w->queue);
    return id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    std::lock_guard<std::mutex> lock(core);
    Window *w = live(hwnd);
    if (!w) return FALSE;
    auto &timers = w->queue->timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const Queue::Timer &t) { return t.window == w && t.id == id; });
    if (it == timers.end()) return FALSE;
    timers.erase(it);
    return TRUE;
}

namespace {
int quit_post_count = 0;  // guarded by core
}  // namespace

int lvx::quit_posts() {
    std::lock_guard<std::mutex> lock(core);
    return quit_post_count;
}

void PostQuitMessage(int exit_code) {
    std::lock_guard<std::mutex> lock(core);
    ++quit_post_count;
    Queue &q = this_thread_queue();
    q.quit = true;
    q.quit_code = exit_code;
    backend().wake(q);
}

BOOL InvalidateRect(HWND hwnd, const RECT *, BOOL) {
    std::lock_guard<std::mutex> lock(core);
    Window *w = live(hwnd);
    if (!w) return FALSE;
    if (!w->needs_paint) {
        w->needs_paint = true;
        backend().wake(*w->queue);
    }
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT *) {
    Window *w;
    {
        std::lock_guard<std::mutex> lock(core);
        w = live(hwnd);
        if (!w) return FALSE;
        w->needs_paint = false;
    }
    // Validating ends an update: what this thread drew reaches the screen
    // together (a window is never freed, so w stays valid). Another thread
    // drawing now publishes when it validates.
    if (w->drawer.load() == std::this_thread::get_id() && w->drawn.exchange(false)) publish(*w);
    return TRUE;
}
