// The program's own cost per frame outside the filters, at 640 x 480: the
// test pattern's frame, the intake copy into camera_buffer, and the display
// (the stretch into the default 360 x 300 picture, the strip's five lines,
// the FPS figure), each alone and all of them together as one frame. Drawn
// on a headless surface the size of the default client area. Timed like the
// filter stages: every run alone, the best kept, LUMIVEX_BENCH_ROUNDS runs.
#include "program_bench.h"

#if LUMIVEX_BENCH_DISPLAY
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/pattern.h"
#include "platform/dib.h"
#include "platform/headless/headless.h"
#include "platform/win32.h"
#include "shell/program.h"

namespace {

double total_best_ms = 0;

int rounds() {
    const char *v = std::getenv("LUMIVEX_BENCH_ROUNDS");
    const int n = v ? std::atoi(v) : 30;
    return n > 0 ? n : 30;
}

const int frame_w = pattern_width;
const int frame_h = pattern_height;

// The program's state as a run with the test pattern has it: a 640 x 480
// camera buffer, the default window with its strip full, the FPS figure on.
struct OwnPath {
    std::vector<unsigned char> sample;
    PatternFrames pattern;
    unsigned n = 0;
    Program program;

    OwnPath() {
        sample.assign(dib_stride(frame_w) * frame_h, 0);
        pattern.prepare(frame_w, frame_h);
        program.store.camera_x_size = frame_w;
        program.store.camera_y_size = frame_h;
        program.camera.camera_setup_buffer();
        HDC dc = headless_create_surface(360, 300 + strip_height);
        program.window.main_dc = dc;
        // The window's device context shrinks nearest-neighbour (setup_window).
        SetStretchBltMode(dc, COLORONCOLOR);
        program.screen.display_x = 360;
        program.screen.display_y = 300;
        for (const char *line : {"Look at readme.txt for usage", "Filters: gauss sobel threshold  tracking  ",
                                 "Threshold1: 42.00", "Threshold2: 260.00", "Save to: 1.bmp"})
            program.log.add_line(line);
        program.fps = 30;
        program.screen.display_fps = true;
        pattern_frame();
        intake();
        // The running program has drawn these lines before: the rows time
        // drawing them again, not their first rasterisation.
        program.screen.display_text(program.window, program.log);
    }
    ~OwnPath() { program.camera.camera_stop(); }
    void pattern_frame() { pattern.draw(sample.data(), n++); }
    void intake() { program.camera.camera_take_frame(sample.data(), static_cast<int>(sample.size()), 24); }
    void stretch() {
        StretchDIBits(program.window.main_dc, 0, 0, program.screen.display_x, program.screen.display_y, 0, 0,
                      frame_w, frame_h, program.store.camera_buffer, &program.store.camera_buffer_info,
                      DIB_RGB_COLORS, SRCCOPY);
    }
    void fps_figure() {
        char text[32];
        std::snprintf(text, sizeof text, "FPS: %3d", program.fps.load());
        TextOutA(program.window.main_dc, 2, 2, text, static_cast<int>(std::strlen(text)));
    }
};

template <class F>
void own_bench(benchmark::State &state, bool total, F body) {
    OwnPath path;
    double best = 1e30;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        body(path);
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(s);
        best = std::min(best, s * 1000);
    }
    state.counters["best_ms"] = best;
    if (total) {
        state.counters["goal_ms"] = own_path_goal_ms;
        if (total_best_ms == 0 || best < total_best_ms) total_best_ms = best;
    }
}

void add(const char *name, bool total, void (*body)(OwnPath &)) {
    benchmark::RegisterBenchmark(name, [=](benchmark::State &s) { own_bench(s, total, body); })
        ->UseManualTime()
        ->Iterations(rounds())
        ->Unit(benchmark::kMillisecond);
}

// Registered before main runs, after the filter benchmarks' file has been
// linked in: Google Benchmark lists what is registered when it starts.
const bool registered = [] {
    add("own/pattern/640x480", false, [](OwnPath &p) { p.pattern_frame(); });
    add("own/intake/640x480", false, [](OwnPath &p) { p.intake(); });
    add("own/stretch/640x480-to-360x300", false, [](OwnPath &p) { p.stretch(); });
    add("own/strip/five-lines", false,
        [](OwnPath &p) { p.program.screen.display_text(p.program.window, p.program.log); });
    add("own/fps-figure", false, [](OwnPath &p) { p.fps_figure(); });
    // One frame as the program runs it with no filter on: the pattern
    // draws, frame_callback's copy, then the drawing (the pipeline is left
    // out: it is the filters' chain, measured as chain/none).
    add("own/total/640x480", true, [](OwnPath &p) {
        p.pattern_frame();
        p.intake();
        p.program.draw();
    });
    return true;
}();

}  // namespace

double own_path_total_ms() { return total_best_ms; }

#else
double own_path_total_ms() { return 0; }
#endif
