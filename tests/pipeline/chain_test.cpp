// The banded chain against the same filters run one after the other over
// whole frames: every flag set, sizes from the smallest the filters run on
// to frames wider than a column strip, one to three threads, bands of two
// rows up to the default, several frames in a row (the RC state, last_frame
// and the Canny buffers carry over). Every buffer is compared, the rows a
// step leaves unwritten included.
#include "pipeline/chain.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/workers.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"
#include "kernels/dispatch.h"
#include "pipeline/pipeline_support.h"

namespace {

const unsigned int all_sets = 1u << 14;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
const bool sanitized = true;
#else
const bool sanitized = false;
#endif
#else
const bool sanitized = false;
#endif

// Every buffer the chain reads or writes.
struct World {
    std::vector<color_type> camera, temp, save, last;
    std::vector<float> state;
    std::vector<uint32_t> mag;
    std::vector<int32_t> ratio;
};

World snapshot(const FrameStore &store) {
    const frame_set &f = store.frames;
    const size_t n = f.pixels();
    World w;
    w.camera.assign(store.camera_buffer, store.camera_buffer + n);
    w.temp.assign(store.temp_frame, store.temp_frame + n);
    w.save.assign(f.save_frame, f.save_frame + n);
    w.last.assign(f.last_frame, f.last_frame + n);
    w.state.assign(f.image_state, f.image_state + 3 * n);
    w.mag.assign(f.grad_mag, f.grad_mag + n);
    w.ratio.assign(f.grad_ratio, f.grad_ratio + n);
    return w;
}

bool same(const std::vector<color_type> &a, const std::vector<color_type> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 3) == 0;
}

// What differs between two worlds, or "".
std::string difference(const World &a, const World &b) {
    std::string d;
    if (!same(a.camera, b.camera)) d += " camera_buffer";
    if (!same(a.temp, b.temp)) d += " temp_frame";
    if (!same(a.save, b.save)) d += " save_frame";
    if (!same(a.last, b.last)) d += " last_frame";
    if (std::memcmp(a.state.data(), b.state.data(), a.state.size() * sizeof(float)) != 0) d += " image_state";
    if (a.mag != b.mag) d += " grad_mag";
    if (a.ratio != b.ratio) d += " grad_ratio";
    return d;
}

// The chain one filter at a time over whole frames, on the buffers of `w`.
void run_whole_frames(const frame_set &geometry, const FilterSettings &settings, World &w) {
    frame_set f;
    f.size_x = geometry.size_x;
    f.size_y = geometry.size_y;
    f.save_frame = w.save.data();
    f.last_frame = w.last.data();
    f.image_state = w.state.data();
    f.grad_mag = w.mag.data();
    f.grad_ratio = w.ratio.data();
    f.mag_pixels = f.ratio_pixels = f.state_pixels = f.pixels();

    std::memcpy(f.save_frame, w.camera.data(), w.camera.size() * 3);
    color_type *source = w.camera.data(), *destination = w.temp.data();
    if (f.size_x >= 5 && f.size_y >= 5) {
        for (const WholeFrameStep &s : whole_frame_steps) {
            if (!(settings.*s.flag)) continue;
            s.run(f, settings, source, destination);
            std::swap(source, destination);
        }
    }
    std::memcpy(destination, source, w.camera.size() * 3);
}

struct BandedChain : ::testing::Test {
    std::mt19937 g{2024};
    PipelineRig rig;

    void start(unsigned int w, unsigned int h) {
        rig.start(static_cast<int>(w), static_cast<int>(h));
        FrameStore &s = rig.store;
        frame_set &f = s.frames;
        ASSERT_TRUE(s.camera_buffer && s.temp_frame && f.save_frame && f.last_frame &&
                    canny_buffers_ready(f) && rc_state_ready(f));
        // Every buffer starts with its own noise, so stale bytes would show.
        const size_t n = static_cast<size_t>(w) * h;
        for (color_type *frame : {s.camera_buffer, s.temp_frame, f.save_frame, f.last_frame})
            for (size_t i = 0; i < n; ++i) frame[i] = color_type{byte(), byte(), byte()};
        for (size_t i = 0; i < 3 * n; ++i) f.image_state[i] = float(g() % 25600) / 100.0f;
    }
    void TearDown() override {
        set_worker_threads(0);
        set_min_band_work(32768);
        simd_select(simd_supported());
    }
    unsigned char byte() { return static_cast<unsigned char>(g() & 255); }

    // A camera frame: smooth areas, edges, a moving block and noise, so that
    // every filter has something to mark.
    void camera_frame(int t) {
        const unsigned int w = rig.frames().size_x, h = rig.frames().size_y;
        for (unsigned int y = 0; y < h; ++y)
            for (unsigned int x = 0; x < w; ++x) {
                color_type &p = rig.store.camera_buffer[static_cast<size_t>(y) * w + x];
                const bool block = x >= 3u + 2u * t && x < 11u + 2u * t && y >= 2u + t && y < 8u + t;
                if (block)
                    p = color_type{20, 230, 250};
                else if ((x + y + t) % 7 == 0)
                    p = color_type{byte(), byte(), byte()};
                else
                    p = color_type{static_cast<unsigned char>(x * 9 + t), static_cast<unsigned char>(y * 13),
                                   static_cast<unsigned char>((x ^ y) * 5)};
            }
    }

    // Runs `frames` frames with the flags of `set`: each against the whole-
    // frame chain from the same state. Returns what differs, or "".
    std::string compare(unsigned int set, int frames) {
        for (unsigned int i = 0; i < 14; ++i) rig.settings.*whole_frame_steps[i].flag = (set >> i) & 1;
        for (int t = 0; t < frames; ++t) {
            camera_frame(t);
            rig.settings.d_frame = (t + set) % 2 == 1;
            World expected = snapshot(rig.store);
            run_whole_frames(rig.frames(), rig.settings, expected);
            rig.run();
            const std::string d = difference(expected, snapshot(rig.store));
            if (!d.empty()) {
                std::ostringstream o;
                o << "flags " << set << ", frame " << t << ":" << d;
                return o.str();
            }
        }
        return "";
    }
};

}  // namespace

// All 16384 flag sets at a size cut into several bands, the thread count and
// band height changing from set to set; the buffers start with noise, so the
// carried state (RC, last_frame) is already in play in the first frame.
// Sanitizer builds, many times slower, take every seventh set.
TEST_F(BandedChain, EveryFlagSetGivesTheWholeFrameBytes) {
    start(23, 17);
    rig.settings.threshold_1 = 100.0;  // both thresholds leave marks in this picture
    set_min_band_work(0);
    const unsigned int band_rows[] = {2, 3, 5, 17};
    for (unsigned int set = 0; set < all_sets; set += sanitized ? 7 : 1) {
        set_worker_threads(1 + set % 3);
        rig.store.chain_band_rows = band_rows[(set / 3) % 4];
        const std::string d = compare(set, 1);
        ASSERT_EQ(d, "");
    }
}

// Random flag sets at sizes from 5 x 5 up, odd widths, frames wider than a
// column strip and than the banded edge reduction takes, every instruction-set level, 1 to 3 threads, bands
// from two rows to the default.
TEST_F(BandedChain, SizesThreadsAndLevels) {
    struct Size {
        unsigned int w, h;
    };
    const Size sizes[] = {{5, 5},    {6, 9},     {9, 6},     {31, 40},  {64, 48},
                          {101, 77}, {257, 130}, {4200, 11}, {16390, 6}};
    set_min_band_work(0);
    for (simd_level level : {simd_level::portable, simd_level::avx2, simd_level::avx512}) {
        if (static_cast<int>(level) > static_cast<int>(simd_supported())) continue;
        simd_select(level);
        for (const Size &s : sizes) {
            start(s.w, s.h);
            for (int round = 0; round < 6; ++round) {
                const unsigned int threads = 1 + round % 3, rows = round < 3 ? 2 + round : 0;
                set_worker_threads(threads);
                rig.store.chain_band_rows = rows;
                rig.settings.threshold_1 = round % 2 ? 100.0 : 42.0;
                const unsigned int set = round == 0 ? all_sets - 1 : (g() % all_sets);
                SCOPED_TRACE(::testing::Message() << simd_name(level) << ", " << s.w << " x " << s.h << ", "
                                                  << threads << " threads, bands of " << rows << " rows");
                ASSERT_EQ(compare(set, 3), "");
            }
            rig.stop();
        }
    }
}

// The runner alone: a step that must go in frame order sees its bands in
// order and each exactly once, and a step never starts a band before the
// step before it has finished that band and both neighbours.
TEST_F(BandedChain, RunnerKeepsTheOrderOfStepsAndBands) {
    start(8, 50);
    set_min_band_work(0);
    set_worker_threads(3);
    static std::atomic<int> rows_done[3][50];
    static std::atomic<int> order_errors{0};
    for (auto &step : rows_done)
        for (auto &r : step) r = 0;
    filter_rows chain[3];
    for (int j = 0; j < 3; ++j) {
        chain[j].first = j;  // each step computes fewer rows than the one before
        chain[j].last = 50 - j;
        chain[j].in_order = j == 1;
        chain[j].kind = j;
        chain[j].run = [](const filter_rows &s, unsigned int b, unsigned int e) {
            const int j = s.kind;
            for (unsigned int y = b; y < e; ++y) {
                if (j > 0) {
                    // The rows this one depends on: its neighbours in the step before.
                    for (unsigned int r = y > 2 ? y - 2 : 0; r <= y + 2 && r < 50; ++r)
                        if (r >= unsigned(j - 1) && r < 50u - (j - 1) && rows_done[j - 1][r] != 1)
                            ++order_errors;
                }
                if (j == 1 && y > s.first && rows_done[1][y - 1] != 1) ++order_errors;
                ++rows_done[j][y];
            }
        };
    }
    run_chain(chain, 3, 50, 24, 3);
    EXPECT_EQ(order_errors.load(), 0);
    for (int j = 0; j < 3; ++j)
        for (int y = 0; y < 50; ++y)
            EXPECT_EQ(rows_done[j][y].load(), (y >= j && y < 50 - j) ? 1 : 0) << j << "," << y;
}

// A stop set from another thread once the first task runs, with every task
// lasting until its thread sees the stop: the tasks under way finish (one a
// thread at most, all of the first step), no later step runs, and the runner
// returns saying the frame was cut short. Run again without the stop, the
// same chain runs every task once.
TEST_F(BandedChain, AStopLetsNoFurtherTaskStart) {
    set_min_band_work(0);
    set_worker_threads(3);
    static std::atomic<int> ran[chain_max_steps];
    static std::atomic<bool> stop{false};
    for (auto &n : ran) n = 0;
    stop = false;
    filter_rows chain[chain_max_steps];
    for (unsigned int j = 0; j < chain_max_steps; ++j) {
        chain[j].last = 40;
        chain[j].kind = static_cast<int>(j);
        chain[j].run = [](const filter_rows &s, unsigned int, unsigned int) {
            ++ran[s.kind];
            while (!stop) std::this_thread::yield();
        };
    }
    std::thread stopper([] {
        while (ran[0] == 0) std::this_thread::yield();
        stop = true;
    });
    const bool whole = run_chain(chain, chain_max_steps, 40, 24, 2, &stop);
    stopper.join();
    EXPECT_FALSE(whole);
    EXPECT_GE(ran[0].load(), 1);
    EXPECT_LE(ran[0].load(), 3);
    for (unsigned int j = 1; j < chain_max_steps; ++j) EXPECT_EQ(ran[j].load(), 0) << "step " << j;

    for (auto &n : ran) n = 0;
    EXPECT_TRUE(run_chain(chain, chain_max_steps, 40, 24, 2));
    for (unsigned int j = 0; j < chain_max_steps; ++j) EXPECT_EQ(ran[j].load(), 20) << "step " << j;
}
