// Presenting a camera-sized frame on the SDL backend under a real X server,
// from StretchDIBits to the display, at 640 x 480 and 1920 x 1080 in a
// window of the frame's size (plus the 82-pixel strip), two ways:
//
//   present/framebuffer/SIZE  the program's way: StretchDIBits into the
//       window's surface, ValidateRect (the surface is copied into the
//       window's framebuffer, a shared-memory X image), and the window
//       thread putting it on the display (XShmPutImage, then XSync).
//   present/texture/SIZE  the way before it: the same StretchDIBits, then
//       the surface uploaded into a streaming BGR24 texture of an SDL
//       renderer (OpenGL through Mesa when there is no GPU), copied and
//       presented.
//
// Every run is timed alone; best and median are kept, the best judged
// against the goal as in lumivex_bench (the X server's share of the time
// depends on the load the most). Needs DISPLAY on a
// screen of at least 1920 x 1162 (scripts/bench.sh starts Xvfb).
//   lumivex_present_bench [google benchmark flags]
//   LUMIVEX_BENCH_ROUNDS=N   timed runs per benchmark (default 60)
#include <SDL.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/dib.h"
#include "platform/internal.h"
#include "platform/win32.h"

namespace {

struct Size {
    int w, h;
    const char *name;
};
const Size sizes[] = {{640, 480, "640x480"}, {1920, 1080, "1920x1080"}};
const int strip = 82;
const double goal_ms = 3.0;  // a 1080p frame at a 1080p window
const UINT sentinel = 0x0400 + 77;

int rounds() {
    const char *v = std::getenv("LUMIVEX_BENCH_ROUNDS");
    const int n = v ? std::atoi(v) : 60;
    return n > 0 ? n : 60;
}

struct Figures {
    double best = 0, median = 0;
    std::string renderer;
};
std::map<std::string, Figures> figures;

LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

// Handles what the window thread has queued; the backend puts a fresh
// picture on the display at the top of GetMessageA, before the sentinel.
void pump(HWND hwnd) {
    PostMessageA(hwnd, sentinel, 0, 0);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == sentinel) return;
        DispatchMessageA(&msg);
    }
}

// A frame (bottom-up rows, a gradient with some texture) and the program's
// window of its size, shown.
struct Stage {
    Size size;
    std::vector<unsigned char> frame;
    BITMAPINFO info{};
    HWND hwnd = nullptr;
    HDC dc = nullptr;

    explicit Stage(Size s) : size(s) {
        const size_t stride = dib_stride(static_cast<size_t>(s.w));
        frame.resize(stride * s.h);
        for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<unsigned char>((i * 7) ^ (i >> 11));
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), s.w, s.h, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
        static const bool registered = [] {
            WNDCLASSEXA wc{};
            wc.cbSize = sizeof wc;
            wc.lpfnWndProc = window_proc;
            wc.lpszClassName = "LumivexPresentBench";
            return RegisterClassExA(&wc) != 0;
        }();
        if (!registered) return;
        // The frame's size plus the strip, as the program's window at the camera's size.
        hwnd = CreateWindowExA(0, "LumivexPresentBench", "Lumivex present", 0, 0, 0, s.w + 7,
                               s.h + strip + 27, nullptr, nullptr, nullptr, nullptr);
        if (!hwnd) return;
        dc = GetDC(hwnd);
        SetStretchBltMode(dc, COLORONCOLOR);
        ShowWindow(hwnd, SW_SHOW);
        for (int i = 0; i < 20; ++i) {
            pump(hwnd);
            SDL_Delay(10);
        }
    }
    ~Stage() {
        if (hwnd) {
            DestroyWindow(hwnd);
            pump_rest();
        }
    }
    void pump_rest() {
        MSG msg;
        PostMessageA(nullptr, sentinel, 0, 0);
        while (GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != sentinel) DispatchMessageA(&msg);
    }
    // The program's stretch: the frame upside down into the picture area.
    void stretch() {
        StretchDIBits(dc, 0, 0, size.w, size.h, 0, 0, size.w, size.h, frame.data(), &info, DIB_RGB_COLORS,
                      SRCCOPY);
    }
};

template <class F>
void timed(benchmark::State &state, const std::string &name, F body, const std::string &renderer = "") {
    std::vector<double> ms;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        body();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        ms.push_back(s * 1000);
    }
    std::sort(ms.begin(), ms.end());
    Figures &f = figures[name];
    f.best = ms.front();
    f.median = ms[ms.size() / 2];
    f.renderer = renderer;
    state.counters["best_ms"] = f.best;
    state.counters["median_ms"] = f.median;
}

void framebuffer_bench(benchmark::State &state, std::string name, Size size) {
    Stage stage(size);
    if (!stage.hwnd) {
        state.SkipWithError("no window");
        return;
    }
    timed(state, name, [&] {
        stage.stretch();
        ValidateRect(stage.hwnd, nullptr);
        pump(stage.hwnd);
    });
}

void texture_bench(benchmark::State &state, std::string name, Size size) {
    Stage stage(size);
    if (!stage.hwnd) {
        state.SkipWithError("no window");
        return;
    }
    ShowWindow(stage.hwnd, SW_HIDE);
    stage.pump_rest();
    const int h = size.h + strip;
    SDL_Window *window = SDL_CreateWindow("Lumivex texture", 0, 0, size.w, h, SDL_WINDOW_SHOWN);
    SDL_Renderer *renderer = window ? SDL_CreateRenderer(window, -1, 0) : nullptr;
    if (window && !renderer) renderer = SDL_CreateRenderer(window, -1, SDL_RENDERER_SOFTWARE);
    SDL_Texture *texture =
        renderer ? SDL_CreateTexture(renderer, SDL_PIXELFORMAT_BGR24, SDL_TEXTUREACCESS_STREAMING, size.w, h)
                 : nullptr;
    SDL_RendererInfo info{};
    if (renderer) SDL_GetRendererInfo(renderer, &info);
    if (texture) {
        for (int i = 0; i < 20; ++i) {
            SDL_Event e;
            while (SDL_PollEvent(&e)) {
            }
            SDL_Delay(10);
        }
        lvx::Surface &surface = *reinterpret_cast<lvx::Surface *>(stage.dc);
        timed(
            state, name,
            [&] {
                stage.stretch();
                {
                    std::lock_guard<std::mutex> lock(surface.lock);
                    SDL_UpdateTexture(texture, nullptr, surface.pixels.data(), surface.width * 3);
                }
                SDL_RenderClear(renderer);
                SDL_RenderCopy(renderer, texture, nullptr, nullptr);
                SDL_RenderPresent(renderer);
            },
            info.name ? info.name : "");
    } else {
        state.SkipWithError(SDL_GetError());
    }
    if (texture) SDL_DestroyTexture(texture);
    if (renderer) SDL_DestroyRenderer(renderer);
    if (window) SDL_DestroyWindow(window);
}

void print_summary() {
    std::printf("\nSummary (best and median of %d runs; goal judged on the best)\n", rounds());
    std::printf("%-44s %10s %10s %10s  %s\n", "benchmark", "best ms", "median ms", "goal ms", "verdict");
    for (const Size &s : sizes) {
        const auto fb = figures.find(std::string("present/framebuffer/") + s.name);
        const auto tx = figures.find(std::string("present/texture/") + s.name);
        if (tx != figures.end())
            std::printf("%-44s %10.3f %10.3f %10s  (before; renderer %s)\n", tx->first.c_str(),
                        tx->second.best, tx->second.median, "", tx->second.renderer.c_str());
        if (fb == figures.end()) continue;
        char goal[16] = "";
        const char *verdict = "";
        if (s.w == 1920) {
            std::snprintf(goal, sizeof goal, "%.3f", goal_ms);
            verdict = fb->second.best <= goal_ms ? "met" : "MISSED";
        }
        std::printf("%-44s %10.3f %10.3f %10s  %s", fb->first.c_str(), fb->second.best, fb->second.median,
                    goal, verdict);
        if (tx != figures.end())
            std::printf("  %.1f x faster (medians)", tx->second.median / fb->second.median);
        std::printf("\n");
    }
}

}  // namespace

int main(int argc, char **argv) {
    const char *display = std::getenv("DISPLAY");
    if (!display || !*display) {
        std::fprintf(
            stderr,
            "lumivex_present_bench: needs DISPLAY (an X server with a screen of 1920 x 1162 or more)\n");
        return 2;
    }
    const int n = rounds();
    for (const Size &s : sizes)
        for (const char *way : {"texture", "framebuffer"}) {
            const std::string name = std::string("present/") + way + "/" + s.name;
            benchmark::RegisterBenchmark(name.c_str(), way[0] == 't' ? texture_bench : framebuffer_bench,
                                         name, s)
                ->UseManualTime()
                ->Iterations(n)
                ->Unit(benchmark::kMillisecond);
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SDL_Rect screen{};
    if (SDL_WasInit(SDL_INIT_VIDEO) && SDL_GetDisplayBounds(0, &screen) == 0 &&
        (screen.w < 1920 || screen.h < 1162))
        std::printf(
            "\nwarning: the screen is %d x %d: the 1080p window does not fit, its rows off the screen cost "
            "nothing\n",
            screen.w, screen.h);
    print_summary();
    return 0;
}
