// The SDL2 presenting backend: each window is a real resizable SDL window
// whose framebuffer (SDL's window surface: on X11 a shared-memory image,
// without OpenGL) is the window's screen. Every SDL call runs on the window
// thread (the thread that created the window and runs GetMessageA); other
// threads publish into the framebuffer's pixels under the screen's lock and
// push a wake event, which SDL allows from any thread. The window thread
// puts each published picture on the display once.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/gdi.h"
#include "platform/internal.h"
#include "platform/scale.h"
#include "platform/sdl/ending.h"
#include "platform/trace.h"

using namespace lvx;

namespace lvx {
std::string x11_resources();
}  // namespace lvx

namespace {

struct SdlWindow {
    Window *owner = nullptr;
    SDL_Window *window = nullptr;
    int client_w = 0;  // last size reported to the core
    int client_h = 0;
    bool minimised = false;
    int scale = 1;  // each surface pixel shows as scale x scale screen pixels
    // The framebuffer is made again (SDL_GetWindowSurface) after a size
    // change; until then the screen's pixels are the old one's.
    bool framebuffer_stale = true;
    bool shown = false;   // the framebuffer holds a picture that was put on the display
    bool reshow = false;  // put it there again (exposed)
    // When the framebuffer's format is not one the screen writes (neither
    // 4-byte order), the screen is this buffer, converted by SDL when shown.
    SDL_Surface *staging = nullptr;
};

// Virtual-key code of an SDL key, 0 for keys the program has no code for.
unsigned int virtual_key(const SDL_Keysym &key) {
    SDL_Keycode k = key.sym;
    if (k >= 'a' && k <= 'z') return static_cast<unsigned int>(k - 'a' + 'A');
    if (k >= '0' && k <= '9') return static_cast<unsigned int>(k);
    if (k >= SDLK_KP_1 && k <= SDLK_KP_9) return VK_NUMPAD0 + 1 + static_cast<unsigned int>(k - SDLK_KP_1);
    if (k >= SDLK_F1 && k <= SDLK_F12) return VK_F1 + static_cast<unsigned int>(k - SDLK_F1);
    switch (k) {
        case SDLK_KP_0:
            return VK_NUMPAD0;
        case SDLK_ESCAPE:
            return VK_ESCAPE;
        case SDLK_RETURN:
            return VK_RETURN;
        case SDLK_KP_ENTER:
            return VK_RETURN;
        case SDLK_BACKSPACE:
            return VK_BACK;
        case SDLK_TAB:
            return VK_TAB;
        case SDLK_SPACE:
            return VK_SPACE;
        case SDLK_LSHIFT:
        case SDLK_RSHIFT:
            return VK_SHIFT;
        case SDLK_LCTRL:
        case SDLK_RCTRL:
            return VK_CONTROL;
        case SDLK_LALT:
        case SDLK_RALT:
            return VK_MENU;
        case SDLK_PAUSE:
            return VK_PAUSE;
        case SDLK_CAPSLOCK:
            return VK_CAPITAL;
        case SDLK_PAGEUP:
            return VK_PRIOR;
        case SDLK_PAGEDOWN:
            return VK_NEXT;
        case SDLK_END:
            return VK_END;
        case SDLK_HOME:
            return VK_HOME;
        case SDLK_LEFT:
            return VK_LEFT;
        case SDLK_UP:
            return VK_UP;
        case SDLK_RIGHT:
            return VK_RIGHT;
        case SDLK_DOWN:
            return VK_DOWN;
        case SDLK_INSERT:
            return VK_INSERT;
        case SDLK_DELETE:
            return VK_DELETE;
        case SDLK_KP_MULTIPLY:
            return VK_MULTIPLY;
        case SDLK_KP_PLUS:
            return VK_ADD;
        case SDLK_KP_MINUS:
            return VK_SUBTRACT;
        case SDLK_KP_PERIOD:
            return VK_DECIMAL;
        case SDLK_KP_DIVIDE:
            return VK_DIVIDE;
        default:
            break;
    }
    // Letter keys of layouts whose letters are not Latin keep the code of
    // their position, as Windows does.
    if (key.scancode >= SDL_SCANCODE_A && key.scancode <= SDL_SCANCODE_Z)
        return 'A' + static_cast<unsigned int>(key.scancode - SDL_SCANCODE_A);
    return 0;
}

class SdlBackend : public Backend {
  public:
    bool create(Window &window, int client_width, int client_height) override {
        if (!initialise()) return false;
        auto *sw = new SdlWindow;
        sw->owner = &window;
        sw->client_w = client_width;
        sw->client_h = client_height;
        // SDL cannot make a 0 x 0 window; the core keeps the true client size.
        sw->scale = window_scale(client_width, client_height);
        sw->window = SDL_CreateWindow(
            window.caption.c_str(), window.x, window.y, std::max(client_width, 1) * sw->scale,
            std::max(client_height, 1) * sw->scale, SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
        if (!sw->window || !SDL_GetWindowSurface(sw->window)) {
            std::fprintf(stderr, "lumivex: cannot open a window: %s\n", SDL_GetError());
            if (sw->window) SDL_DestroyWindow(sw->window);
            delete sw;
            return false;
        }
        SDL_SetWindowData(sw->window, "lvx", sw);
        window.backend_data = sw;
        windows_.push_back(sw);
        take_framebuffer(*sw);
        return true;
    }

    void show(Window &window, bool visible) override {
        auto *sw = static_cast<SdlWindow *>(window.backend_data);
        if (!sw) return;
        if (visible) {
            SDL_ShowWindow(sw->window);
            sw->reshow = true;
        } else {
            SDL_HideWindow(sw->window);
        }
    }

    void destroy(Window &window) override {
        auto *sw = static_cast<SdlWindow *>(window.backend_data);
        if (!sw) return;
        windows_.erase(std::remove(windows_.begin(), windows_.end(), sw), windows_.end());
        window.backend_data = nullptr;
        release(sw);
    }

    void pump() override {
        window_thread_turn();
        if (!initialised_) return;
        for (const SDL_Event &e : held_) handle(e);
        held_.clear();
        SDL_Event e;
        while (SDL_PollEvent(&e)) handle(e);
        for (SdlWindow *sw : windows_) present(*sw);
    }

    void wait(std::unique_lock<std::mutex> &core, Queue &queue, uint64_t deadline) override {
        if (!initialised_) {
            // No window was ever shown on this thread: a plain timed wait.
            auto until = std::chrono::steady_clock::time_point(std::chrono::milliseconds(
                std::min<uint64_t>(deadline, static_cast<uint64_t>(INT64_MAX / 1000000))));
            queue.wake_cv.wait_until(core, until, [&] { return queue.woken; });
            queue.woken = false;
            return;
        }
        int timeout = -1;
        if (deadline != UINT64_MAX) {
            uint64_t now = now_ms();
            timeout = deadline <= now ? 0 : static_cast<int>(std::min<uint64_t>(deadline - now, INT_MAX));
        }
        core.unlock();
        SDL_Event e;
        if (SDL_WaitEventTimeout(&e, timeout)) held_.push_back(e);
        core.lock();
        queue.woken = false;
    }

    void wake(Queue &queue) override {
        queue.woken = true;
        queue.wake_cv.notify_all();
        push_wake();
    }

    void published(Window &) override { push_wake(); }

    uint64_t now_ms() override {
        using namespace std::chrono;
        return static_cast<uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }

    void shutdown() {
        // Without its X connection SDL cannot even clean up.
        if (display_lost()) return;
        for (SdlWindow *sw : windows_) {
            sw->owner->backend_data = nullptr;
            release(sw);
        }
        windows_.clear();
        // Not SDL_Quit: it closes SDL's second X connection, which only sends
        // the wake-ups of other threads, and the server's answer to one that
        // arrived just after the window went (BadWindow) would then be read
        // by Xlib's default handler, which ends the process with status 1.
        // The process ends now, and the server frees what its connections
        // held.
        initialised_ = false;
    }

  private:
    bool initialise() {
        if (initialised_) return true;
        // A desktop tool, not a game: keep the screensaver and the compositor.
        SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
        SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
        // Interrupts and lost displays are handled by install_exit_paths.
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // The picture goes to the display as the window's own framebuffer
        // (on X11 a shared-memory image): without a GPU, OpenGL is a software
        // renderer that costs several times as much per frame, and with one
        // the copy is still small. Also spares loading OpenGL to find out.
        SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
        const char *x_display = SDL_getenv("DISPLAY");
        const char *wayland_display = SDL_getenv("WAYLAND_DISPLAY");
        bool x_only = x_display && *x_display && !(wayland_display && *wayland_display) &&
                      !SDL_getenv("SDL_VIDEODRIVER");
        // Outside a Wayland session only X can show the window: trying Wayland
        // would just print a warning about XDG_RUNTIME_DIR.
        if (x_only) SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
        if (!(x_display && *x_display) && !(wayland_display && *wayland_display) &&
            !SDL_getenv("SDL_VIDEODRIVER")) {
            std::fprintf(
                stderr,
                "lumivex: no display to open a window on (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
            return false;
        }
        if (SDL_Init(SDL_INIT_VIDEO) != 0) {
            if (x_only)
                std::fprintf(stderr,
                             "lumivex: no X server answers on display %s (or it refused the connection)\n",
                             x_display);
            else
                std::fprintf(stderr, "lumivex: no display to open a window on (%s)\n", SDL_GetError());
            return false;
        }
        // With no display SDL falls back to drivers that show nothing; a window
        // there would run unseen and never get a key. Only take them on request.
        const char *driver = SDL_GetCurrentVideoDriver();
        const char *requested = SDL_getenv("SDL_VIDEODRIVER");
        if (driver && (SDL_strcmp(driver, "offscreen") == 0 || SDL_strcmp(driver, "dummy") == 0) &&
            !(requested && SDL_strcasecmp(requested, driver) == 0)) {
            std::fprintf(stderr,
                         "lumivex: no display to open a window on (is DISPLAY or WAYLAND_DISPLAY set?)\n");
            SDL_Quit();
            return false;
        }
        install_exit_paths(driver && SDL_strcmp(driver, "x11") == 0);
        wake_event_ = SDL_RegisterEvents(1);
        SDL_StopTextInput();
        initialised_ = true;
        std::atexit([] { static_cast<SdlBackend &>(backend()).shutdown(); });
        return true;
    }

    // The whole factor to show a client area of width x height with: what the
    // desktop asks for on X (GDK_SCALE or Xft.dpi), as far as the window
    // still fits on the screen. Other systems scale windows themselves.
    int window_scale(int width, int height) {
        const char *driver = SDL_GetCurrentVideoDriver();
        if (!driver || SDL_strcmp(driver, "x11") != 0) return 1;
        const char *gdk_scale = SDL_getenv("GDK_SCALE");
        int wanted = desktop_scale(gdk_scale, gdk_scale ? nullptr : x11_resources().c_str());
        if (wanted <= 1) return 1;
        SDL_Rect usable{};
        if (SDL_GetDisplayUsableBounds(0, &usable) != 0) usable = SDL_Rect{};
        return fitting_scale(wanted, width, height, usable.w, usable.h);
    }

    // Any thread. At most one wake event is in flight; handling it re-arms.
    void push_wake() {
        if (!initialised_ || wake_event_ == static_cast<Uint32>(-1)) return;
        if (wake_pending_.exchange(true)) return;
        SDL_Event e{};
        e.type = wake_event_;
        if (SDL_PushEvent(&e) != 1) wake_pending_ = false;
    }

    SdlWindow *find(Uint32 window_id) {
        SDL_Window *w = SDL_GetWindowFromID(window_id);
        if (!w) return nullptr;
        auto *sw = static_cast<SdlWindow *>(SDL_GetWindowData(w, "lvx"));
        return std::find(windows_.begin(), windows_.end(), sw) != windows_.end() ? sw : nullptr;
    }

    void report_size(SdlWindow &sw, int width, int height) {
        if (width == sw.client_w && height == sw.client_h) return;
        sw.client_w = width;
        sw.client_h = height;
        resize_client(sw.owner, width, height);
    }

    void handle(const SDL_Event &e) {
        if (e.type == wake_event_) {
            wake_pending_ = false;
            return;
        }
        switch (e.type) {
            case SDL_QUIT:
                // Interrupt from the terminal or the session: close every window.
                for (SdlWindow *sw : windows_) post_input(sw->owner, WM_CLOSE, 0, 0);
                break;
            case SDL_KEYDOWN:
            case SDL_KEYUP: {
                SdlWindow *sw = find(e.key.windowID);
                unsigned int vk = virtual_key(e.key.keysym);
                if (!sw || vk == 0) break;
                bool down = e.type == SDL_KEYDOWN;
                uint32_t bits = 1;
                if (!down || e.key.repeat) bits |= 1u << 30;
                if (!down) bits |= 1u << 31;
                post_input(sw->owner, down ? WM_KEYDOWN : WM_KEYUP, vk, static_cast<LPARAM>(bits));
                break;
            }
            case SDL_WINDOWEVENT: {
                SdlWindow *sw = find(e.window.windowID);
                if (!sw) break;
                switch (e.window.event) {
                    case SDL_WINDOWEVENT_CLOSE:
                        post_input(sw->owner, WM_CLOSE, 0, 0);
                        break;
                    case SDL_WINDOWEVENT_SIZE_CHANGED:
                        sw->framebuffer_stale = true;
                        if (!sw->minimised)
                            report_size(*sw, client_size(e.window.data1, sw->scale),
                                        client_size(e.window.data2, sw->scale));
                        break;
                    case SDL_WINDOWEVENT_MINIMIZED:
                        sw->minimised = true;
                        report_size(*sw, 0, 0);
                        break;
                    case SDL_WINDOWEVENT_RESTORED:
                    case SDL_WINDOWEVENT_MAXIMIZED: {
                        sw->minimised = false;
                        int w = 0, h = 0;
                        SDL_GetWindowSize(sw->window, &w, &h);
                        report_size(*sw, client_size(w, sw->scale), client_size(h, sw->scale));
                        sw->framebuffer_stale = true;
                        break;
                    }
                    case SDL_WINDOWEVENT_SHOWN:
                    case SDL_WINDOWEVENT_EXPOSED:
                        sw->reshow = true;
                        break;
                    default:
                        break;
                }
                break;
            }
            default:
                break;
        }
    }

    // Window thread: makes the screen the window's framebuffer as it is now
    // (after creation and size changes SDL makes a new one), black, and asks
    // for a repaint to fill it.
    void take_framebuffer(SdlWindow &sw) {
        Screen &screen = sw.owner->screen;
        {
            std::lock_guard<std::mutex> lock(screen.lock);
            sw.framebuffer_stale = false;
            sw.shown = false;
            screen.fresh = false;
            screen.pixels = nullptr;
            if (sw.staging) SDL_FreeSurface(sw.staging);
            sw.staging = nullptr;
            // Under the lock: SDL frees the old framebuffer here.
            SDL_Surface *fb = SDL_GetWindowSurface(sw.window);
            if (!fb) return;
            SDL_FillRect(fb, nullptr, SDL_MapRGB(fb->format, 0, 0, 0));
            SDL_Surface *target = fb;
            const Uint32 format = fb->format->format;
            if (format != SDL_PIXELFORMAT_RGB888 && format != SDL_PIXELFORMAT_ARGB8888 &&
                format != SDL_PIXELFORMAT_BGR888 && format != SDL_PIXELFORMAT_ABGR8888) {
                sw.staging = SDL_CreateRGBSurfaceWithFormat(0, fb->w, fb->h, 32, SDL_PIXELFORMAT_RGB888);
                if (!sw.staging) return;
                SDL_FillRect(sw.staging, nullptr, SDL_MapRGB(sw.staging->format, 0, 0, 0));
                target = sw.staging;
            }
            screen.pixels = static_cast<unsigned char *>(target->pixels);
            screen.pitch = static_cast<size_t>(target->pitch);
            screen.width = target->w;
            screen.height = target->h;
            screen.scale = sw.scale;
            screen.red_first = target->format->format == SDL_PIXELFORMAT_BGR888 ||
                               target->format->format == SDL_PIXELFORMAT_ABGR8888;
        }
        InvalidateRect(to_hwnd(sw.owner), nullptr, FALSE);
    }

    // Window thread: puts a freshly published picture on the display, or the
    // last one again where the window was exposed.
    void present(SdlWindow &sw) {
        if (sw.framebuffer_stale && !sw.minimised) take_framebuffer(sw);
        Screen &screen = sw.owner->screen;
        std::lock_guard<std::mutex> lock(screen.lock);
        if (!screen.pixels || !(screen.fresh || (sw.reshow && sw.shown))) return;
        if (sw.staging) SDL_BlitSurface(sw.staging, nullptr, SDL_GetWindowSurface(sw.window), nullptr);
        // Returns once the X server has taken the pixels (XSync), so
        // publishing may write them again after this.
        if (SDL_UpdateWindowSurface(sw.window) == 0) {
            sw.shown = true;
            if (screen.fresh) trace_shown(screen);
        }
        screen.fresh = false;
        sw.reshow = false;
    }

    void release(SdlWindow *sw) {
        {
            std::lock_guard<std::mutex> lock(sw->owner->screen.lock);
            sw->owner->screen.pixels = nullptr;
            sw->owner->screen.fresh = false;
        }
        if (sw->staging) SDL_FreeSurface(sw->staging);
        if (sw->window) SDL_DestroyWindow(sw->window);
        delete sw;
    }

    std::atomic<bool> initialised_{false};
    Uint32 wake_event_ = static_cast<Uint32>(-1);
    std::atomic<bool> wake_pending_{false};
    std::vector<SDL_Event> held_;       // taken by wait(), handled by the next pump()
    std::vector<SdlWindow *> windows_;  // window thread only
};

SdlBackend &instance() {
    static SdlBackend b;
    return b;
}

}  // namespace

namespace lvx {
Backend &backend() { return instance(); }
}  // namespace lvx
