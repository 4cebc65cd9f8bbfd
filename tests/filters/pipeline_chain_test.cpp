// Multi-frame runs of the filters through process_frame: properties that
// must hold whatever the picture, and the state the filters carry between
// frames (last_frame, the RC state).
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "filters/frame_support.h"
#include "pipeline/pipeline_support.h"

namespace {

const color_type kRed = rgb(255, 0, 0);

// A moving scene: gradients, a bright block that travels, some texture.
color_type scene(unsigned int x, unsigned int y, int t) {
    int bx = 4 + 3 * t, by = 3 + t;
    bool block = int(x) >= bx && int(x) < bx + 8 && int(y) >= by && int(y) < by + 6;
    if (block) return rgb(250, 240, 30);
    return rgb((x * 6 + y) % 256, (y * 9) % 256, ((x ^ y) * 5 + t) % 256);
}

struct Chain : ::testing::Test {
    PipelineRig rig;
    FilterSettings &set = rig.settings;
    color_type *&camera = rig.store.camera_buffer;
    unsigned int w = 0, h = 0;
    void start(unsigned int width, unsigned int height) {
        w = width;
        h = height;
        rig.start(static_cast<int>(width), static_cast<int>(height));
        ASSERT_NE(camera, nullptr);
        ASSERT_EQ(rig.frames().size_x, width);
    }
    // Puts frame t of the scene (or a constant) into camera_buffer and runs the pipeline.
    void run_scene(int t) {
        for (unsigned int y = 0; y < h; ++y)
            for (unsigned int x = 0; x < w; ++x) camera[y * w + x] = scene(x, y, t);
        rig.run();
    }
    void run_constant(color_type c) {
        for (size_t i = 0; i < size_t(w) * h; ++i) camera[i] = c;
        rig.run();
    }
    color_type out(unsigned int x, unsigned int y) const { return camera[y * w + x]; }
    std::vector<color_type> output() const { return std::vector<color_type>(camera, camera + w * h); }
};

}  // namespace

TEST_F(Chain, CannyDrawsRedOverTheRawFrameInsideABlackBorder) {
    start(37, 23);  // rows of 111 bytes: not a multiple of 4
    set.filter_gauss = set.filter_rc = set.filter_sharpness = set.filter_canny = true;
    int red_pixels = 0;
    for (int t = 0; t < 6; ++t) {
        run_scene(t);
        for (unsigned int y = 0; y < h; ++y) {
            for (unsigned int x = 0; x < w; ++x) {
                if (x == 0 || y == 0 || x == w - 1 || y == h - 1) {
                    ASSERT_EQ(out(x, y), grey(0)) << t << ": " << x << "," << y;
                } else if (out(x, y) == kRed) {
                    ++red_pixels;
                } else {
                    ASSERT_EQ(out(x, y), scene(x, y, t)) << t << ": " << x << "," << y;
                }
            }
        }
        ASSERT_EQ(std::memcmp(rig.store.temp_frame, camera, w * h * 3), 0);
    }
    EXPECT_GT(red_pixels, 0);
}

TEST_F(Chain, ErodeShowsTheRawFrameUnderItsMarks) {
    start(30, 20);
    set.filter_gauss = set.filter_sobel = set.filter_average = set.filter_emboss = set.filter_threshold =
        set.filter_erode = true;
    for (int t = 0; t < 5; ++t) {
        run_scene(t);
        int marks = 0;
        for (unsigned int y = 0; y < h; ++y) {
            for (unsigned int x = 0; x < w; ++x) {
                if (out(x, y) == kRed)
                    ++marks;
                else
                    ASSERT_EQ(out(x, y), scene(x, y, t)) << t << ": " << x << "," << y;
            }
        }
        EXPECT_GT(marks, 0) << t;
    }
}

TEST_F(Chain, AverageAndTrackingShareLastFrame) {
    start(12, 10);
    set.filter_average = set.filter_tracking = true;
    set.d_frame = true;
    const color_type a = rgb(200, 100, 60), b = rgb(20, 180, 90);
    run_constant(a);
    // Frame 1: average(a, black) = a / 2; last_frame = a; tracking compares
    // a / 2 against a and leaves a / 2 in last_frame.
    const color_type half_a = rgb(100, 50, 30);
    for (size_t i = 0; i < size_t(w) * h; ++i) ASSERT_EQ(rig.frames().last_frame[i], half_a);
    // |a/2 - a| = sqrt(100^2 + 50^2 + 30^2) = 115.8 -> m = 115 -> green 66;
    // total 13800 marks the centre (5, 4) with lines only (4 < 5: no square).
    EXPECT_EQ(out(0, 0), rgb(0, 66, 0));
    EXPECT_EQ(out(11, 9), rgb(0, 66, 0));
    EXPECT_EQ(out(5, 0), rgb(0, 255, 0));
    EXPECT_EQ(out(0, 4), rgb(0, 255, 0));

    run_constant(b);
    // Frame 2: average(b, a / 2) = (60, 115, 60); tracking compares it
    // against b: sqrt(40^2 + 65^2 + 30^2) = 82.0 -> m = 82 -> green 47.
    for (size_t i = 0; i < size_t(w) * h; ++i) ASSERT_EQ(rig.frames().last_frame[i], rgb(60, 115, 60));
    // Total change 82 * 120 = 9840: no marks, only the change picture.
    for (size_t i = 0; i < size_t(w) * h; ++i) ASSERT_EQ(camera[i], rgb(0, 47, 0)) << i;
}

TEST_F(Chain, RcStateIsKeptWhileTheFilterIsOff) {
    start(8, 6);
    set.filter_rc = true;
    for (int i = 0; i < 50; ++i) run_constant(grey(200));
    set.filter_rc = false;
    for (int t = 0; t < 10; ++t) run_scene(t);  // the state must not follow these
    set.filter_rc = true;
    run_constant(grey(200));
    std::vector<color_type> resumed = output();

    // The same 51 frames without the pause, from a fresh state.
    rc_filter_start(rig.frames());
    for (int i = 0; i < 51; ++i) run_constant(grey(200));
    EXPECT_EQ(resumed, output());
    EXPECT_EQ(out(3, 3), grey(80));  // 200 * (1 - 0.99^51) = 80.1
}

TEST_F(Chain, CannyWithoutItsBuffersPassesTheFrameThrough) {
    start(16, 12);
    canny_stop(rig.frames());
    set.filter_canny = true;
    run_scene(2);
    for (unsigned int y = 0; y < h; ++y)
        for (unsigned int x = 0; x < w; ++x) ASSERT_EQ(out(x, y), scene(x, y, 2));
}

TEST_F(Chain, EveryFilterOnIsReproducible) {
    // All fourteen steps over a moving scene, twice from a fresh start: the
    // runs must match byte for byte (no unwritten memory leaks into a frame).
    std::vector<std::vector<color_type>> first;
    for (int pass = 0; pass < 2; ++pass) {
        start(33, 27);
        set_all_filters(set, true);
        for (int t = 0; t < 8; ++t) {
            set.d_frame = (t % 3 == 2);
            run_scene(t);
            if (pass == 0)
                first.push_back(output());
            else
                ASSERT_EQ(first[t], output()) << "frame " << t;
        }
        rig.stop();
    }
}
