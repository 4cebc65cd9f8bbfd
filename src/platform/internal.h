// Internals of the portable layer shared by its core (window.cpp, gdi.cpp,
// font.cpp) and the presenting backends (sdl/, headless/). Not for the
// program's modules.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"

namespace lvx {

struct Window;

// A 24-bit drawing surface: top-down rows of blue, green, red bytes,
// width * 3 bytes per row. Its own mutex guards size and pixels, so drawing
// from any thread and presenting on the window thread never overlap.
struct Surface {
    std::mutex lock;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    Window *window = nullptr;          // owner, or null for a free surface
    std::atomic<int> stretch_mode{1};  // BLACKONWHITE, the default of a new device context
};

// What a window shows: the backend's image of it (an SDL window's
// framebuffer, shared with the X server where it can be), 4 bytes a pixel
// (blue, green, red, unused; or red first), each surface pixel shown as
// scale x scale pixels from the top-left corner. A finished update of the
// surface is copied here whole (publish), so the screen never shows part
// of one. The backend sets the pixels under `lock`, on its window thread;
// null: nothing to show into yet.
struct Screen {
    std::mutex lock;
    unsigned char *pixels = nullptr;
    size_t pitch = 0;
    int width = 0;  // in screen pixels
    int height = 0;
    int scale = 1;
    bool red_first = false;
    bool fresh = false;  // holds a published picture the backend has not put on the screen yet
    // The camera frame the picture shows, for the trace (trace.h): its
    // sequence number, when it was ready, dequeued and published; a ready
    // time of 0: none, or already written.
    uint32_t frame_sequence = 0;
    uint64_t frame_ready_ns = 0;
    uint64_t frame_dequeued_ns = 0;
    uint64_t published_ns = 0;
};

// Copies the surface into the screen (both locked by the caller), as much of
// it as fits.
void show_surface(const Surface &surface, Screen &screen);

// Per-thread message queue. Guarded by core_mutex().
struct Queue {
    struct Timer {
        Window *window;
        UINT_PTR id;
        UINT period;
        uint64_t due;
    };
    std::deque<MSG> posted;
    std::vector<Timer> timers;
    bool quit = false;
    int quit_code = 0;
    bool waiting = false;  // the owner thread is blocked in GetMessageA
    bool woken = false;    // headless backend: a wake arrived
    std::condition_variable wake_cv;
};

struct Window {
    std::string class_name;
    std::string caption;
    WNDPROC proc = nullptr;
    std::thread::id thread;
    Queue *queue = nullptr;
    int x = 0;  // requested position of the outer frame on the screen
    int y = 0;
    std::atomic<bool> alive{true};
    bool destroying = false;   // guarded by core_mutex(): WM_DESTROY is being sent
    bool visible = false;      // guarded by core_mutex()
    bool needs_paint = false;  // guarded by core_mutex()
    uint64_t paints = 0;       // guarded by core_mutex(): WM_PAINT messages taken so far
    Surface surface;
    std::atomic<bool> drawn{false};  // pixels drawn since the last publish
    // The thread that drew last: only its validation publishes, so another
    // thread's validating never shows a picture half drawn.
    std::atomic<std::thread::id> drawer{};
    Screen screen;
    void *backend_data = nullptr;  // owned by the backend, window thread only
};

inline Window *from_hwnd(HWND hwnd) { return reinterpret_cast<Window *>(hwnd); }
inline HWND to_hwnd(Window *window) { return reinterpret_cast<HWND>(window); }
inline Surface *from_hdc(HDC hdc) { return reinterpret_cast<Surface *>(hdc); }
inline HDC to_hdc(Surface *surface) { return reinterpret_cast<HDC>(surface); }

// What a presenting backend provides. Exactly one backend is linked into
// each executable; it defines backend().
class Backend {
  public:
    virtual ~Backend() = default;
    // Window thread, no core lock held. False: the window cannot be shown
    // (the backend has said why on standard error), creation fails.
    virtual bool create(Window &window, int client_width, int client_height) = 0;
    virtual void show(Window &window, bool visible) = 0;
    // Window thread, no core lock held; the window is being destroyed.
    virtual void destroy(Window &window) = 0;
    // Window thread, no core lock held: turns pending system events into
    // messages (post_input, resize_client) and puts fresh screens on the
    // display.
    virtual void pump() = 0;
    // Window thread, with `core` locked: blocks until wake(queue) or a
    // system event, or until the clock reaches `deadline` (UINT64_MAX: no
    // deadline). May unlock `core` while blocked.
    virtual void wait(std::unique_lock<std::mutex> &core, Queue &queue, uint64_t deadline) = 0;
    // Any thread, with the core lock held: ends a wait() of that queue.
    virtual void wake(Queue &queue) = 0;
    // Any thread, no lock held: the window's screen has a fresh picture.
    virtual void published(Window &window) = 0;
    // Milliseconds on the backend's clock (monotonic).
    virtual uint64_t now_ms() = 0;
};

Backend &backend();

std::mutex &core_mutex();
// Notified whenever a queue's owner starts waiting; guarded by core_mutex().
std::condition_variable &idle_cv();

// The queue of the calling thread (created on first use); core lock held.
// Queues are kept for the life of the process, since a window can outlive
// the thread that made it; a later thread that gets a reused thread id
// takes over that queue.
Queue &this_thread_queue();
// True while `window` is a live window; call with the core lock held.
bool is_live(Window *window);
// The first live window with this caption, or null; core lock held.
Window *find_window(const std::string &caption);
// Ends every queue's wait (the clock moved); core lock held.
void wake_all_queues();
// Nothing due in `queue` at `now`: no posted message, no quit, no repaint, no timer.
bool queue_idle(Queue &queue, uint64_t now);
// PostQuitMessage calls so far in this process, for the headless backend's tests.
int quit_posts();

// For backends (any thread): an input message (key, close) from the
// system, queued in arrival order; FALSE when the window is dead.
bool post_input(Window *window, UINT message, WPARAM wparam, LPARAM lparam);
// For backends (any thread): asks every live window to close (WM_CLOSE), as
// its close button would, and every window created from then on as soon as
// it is made.
void close_all_windows();
// For backends (any thread): the client area is now width x height
// (0 x 0 when minimised). Resizes the surface, keeps the old pixels in the
// overlap (white elsewhere), asks for a repaint and queues WM_SIZE.
void resize_client(Window *window, int width, int height);

// Any thread, no lock held: the window's drawing since the last publish is
// finished (the window was validated). Copies the surface into the screen
// and tells the backend.
void publish(Window &window);

// For backends (any thread): a console event (CTRL_C_EVENT,
// CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT) as SetConsoleCtrlHandler describes.
void console_event(DWORD event);

}  // namespace lvx
