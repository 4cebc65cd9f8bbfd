// Intake cost per frame: a camera frame in the camera's own format turned
// into the bottom-up BGR DIB the program takes, by the intake (libyuv,
// TurboJPEG, a copy for BGR) and, in the same benchmark, by libv4l2's
// conversion (libv4lconvert, what the program used before) of the same
// frame; for MJPEG also TurboJPEG's own decode of it into a plain top-down
// BGR buffer, the yardstick for the intake's decoding.
//
// Rows "intake/FOURCC/WxH": time = the intake's best; libv4l2_ms the best of
// the path it replaces (libv4l2's conversion to top-down BGR, then the copy
// of its rows into the bottom-up DIB that the stream made), over as many
// runs, interleaved one by one; ratio_libv4l2 = intake / libv4l2. For MJPEG,
// turbojpeg_ms is TurboJPEG's own decode (top-down, its default) and
// turbojpeg_bottomup_ms the same decode writing the rows bottom-up as a DIB
// has them; ratio_turbojpeg = intake / turbojpeg_ms (goal: at most 1.10).
// The frame is the test picture (the emulated camera's bars above colour
// sweeps), YUV in limited range.
#include <benchmark/benchmark.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/dib.h"
#include "platform/intake.h"
#include "support/camera_frames.h"
#include "support/libv4l_convert.h"

namespace {

using lumivex_platform::FrameIntake;
using lumivex_platform::IntakeFormat;

int bench_rounds() {
    const char *text = std::getenv("LUMIVEX_BENCH_ROUNDS");
    int n = text ? std::atoi(text) : 30;
    return n > 0 ? n : 30;
}

template <class F>
double time_ms(F &&f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void intake_bench(benchmark::State &state, uint32_t fourcc, int width, int height) {
    const std::vector<uint8_t> frame =
        encode_frame(fourcc, test_picture(width, height), width, height, false);
    IntakeFormat format;
    format.fourcc = fourcc;
    format.width = width;
    format.height = height;
    FrameIntake intake(format);
    std::vector<uint8_t> dib(dib_stride(static_cast<size_t>(width)) * static_cast<size_t>(height));
    Libv4lConvert libv4l(fourcc, width, height);
    std::vector<uint8_t> bgr(static_cast<size_t>(width) * height * 3);
    const bool mjpeg = fourcc == V4L2_PIX_FMT_MJPEG;
    tjhandle tj = mjpeg ? tjInitDecompress() : nullptr;
    double best = 1e30, best_libv4l = 1e30, best_tj = 1e30, best_tj_up = 1e30;
    const size_t row = static_cast<size_t>(width) * 3, stride = dib_stride(static_cast<size_t>(width));
    bool failed = false;
    for (auto _ : state) {
        // BGR needs no conversion: libv4l2 hands its frames on as they are.
        if (fourcc != V4L2_PIX_FMT_BGR24)
            best_libv4l = std::min(best_libv4l, time_ms([&] {
                                       failed |= !libv4l.convert(frame.data(), frame.size(), bgr.data());
                                       for (int y = 0; y < height; ++y)
                                           std::memcpy(&dib[stride * static_cast<size_t>(height - 1 - y)],
                                                       &bgr[row * static_cast<size_t>(y)], row);
                                   }));
        if (tj) {
            best_tj = std::min(best_tj, time_ms([&] {
                                   failed |= tjDecompress2(tj, frame.data(), frame.size(), bgr.data(), width,
                                                           width * 3, height, TJPF_BGR, 0) != 0;
                               }));
            best_tj_up = std::min(best_tj_up, time_ms([&] {
                                      failed |=
                                          tjDecompress2(tj, frame.data(), frame.size(), bgr.data(), width,
                                                        width * 3, height, TJPF_BGR, TJFLAG_BOTTOMUP) != 0;
                                  }));
        }
        const double ms = time_ms([&] { failed |= !intake.convert(frame.data(), frame.size(), dib.data()); });
        best = std::min(best, ms);
        state.SetIterationTime(ms / 1000);
    }
    if (tj) tjDestroy(tj);
    if (failed) {
        state.SkipWithError("a conversion failed");
        return;
    }
    state.counters["best_ms"] = best;
    if (fourcc != V4L2_PIX_FMT_BGR24) {
        state.counters["libv4l2_ms"] = best_libv4l;
        state.counters["ratio_libv4l2"] = best / best_libv4l;
    }
    if (mjpeg) {
        state.counters["turbojpeg_ms"] = best_tj;
        state.counters["turbojpeg_bottomup_ms"] = best_tj_up;
        state.counters["ratio_turbojpeg"] = best / best_tj;
    }
}

struct Register {
    Register() {
        const uint32_t formats[] = {V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12,
                                    V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_MJPEG};
        const int sizes[][2] = {{640, 480}, {1920, 1080}};
        for (const auto &size : sizes)
            for (uint32_t fourcc : formats) {
                std::string name = "intake/" + std::string(reinterpret_cast<const char *>(&fourcc), 4) + "/" +
                                   std::to_string(size[0]) + "x" + std::to_string(size[1]);
                benchmark::RegisterBenchmark(name.c_str(), intake_bench, fourcc, size[0], size[1])
                    ->UseManualTime()
                    ->Iterations(bench_rounds())
                    ->Unit(benchmark::kMillisecond);
            }
    }
} register_intake;

}  // namespace
