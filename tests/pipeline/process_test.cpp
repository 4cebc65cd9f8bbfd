#include "pipeline/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/buffer.h"
#include "pipeline/pipeline_support.h"

namespace {

using Frame = std::vector<unsigned char>;

Frame pattern_frame(int w, int h, int seed) {
    Frame f(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<unsigned char>((i * 37 + seed * 101 + (i / 7) * 13) & 0xff);
    return f;
}

class Pipeline : public ::testing::Test {
  protected:
    PipelineRig rig;
    FrameStore &store = rig.store;
    FilterSettings &set = rig.settings;
    color_type *&camera_buffer = store.camera_buffer;
    color_type *&temp_frame = store.temp_frame;
    color_type *&last_frame = store.frames.last_frame;
    color_type *&save_frame = store.frames.save_frame;

    void start(int w, int h) { rig.start(w, h); }
    // A fresh pipeline: no buffers, every filter off.
    void restart() {
        rig.stop();
        set_all_filters(set, false);
    }
    Frame bytes_of(const color_type *buffer) const { return rig.bytes(buffer); }
    void load(const Frame &f) { std::memcpy(camera_buffer, f.data(), f.size()); }
};

TEST_F(Pipeline, StartPublishesGeometryAndZeroFilledBuffers) {
    start(640, 480);
    EXPECT_EQ(store.frames.size_x, 640u);
    EXPECT_EQ(store.frames.size_y, 480u);
    Frame zero(640 * 480 * 3, 0);
    for (color_type *b : {camera_buffer, last_frame, temp_frame, save_frame}) {
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(bytes_of(b), zero);
    }
    // Pixel (x, y) is element y * width + x, blue first.
    unsigned char *raw = reinterpret_cast<unsigned char *>(camera_buffer);
    camera_buffer[5 * 640 + 7] = color_type{1, 2, 3};
    EXPECT_EQ(raw[(5 * 640 + 7) * 3], 1);
    EXPECT_EQ(raw[(5 * 640 + 7) * 3 + 2], 3);
}

TEST_F(Pipeline, NoFilterLeavesFrameAndCopiesIt) {
    start(16, 12);
    Frame in = pattern_frame(16, 12, 1);
    load(in);
    rig.run();
    EXPECT_EQ(bytes_of(camera_buffer), in);
    EXPECT_EQ(bytes_of(temp_frame), in);
    EXPECT_EQ(bytes_of(save_frame), in);
}

// One step reads camera_buffer and writes temp_frame; the result is copied back.
// Edge detection leaves its last row and column unwritten, so those show what
// temp_frame held before: the previous run's output.
TEST_F(Pipeline, OneStepWritesTempFrameAndCopiesBack) {
    start(16, 12);
    Frame a = pattern_frame(16, 12, 1);
    load(a);
    rig.run();  // temp_frame now holds a
    Frame b = pattern_frame(16, 12, 2);
    load(b);
    set.filter_edgefast = true;
    rig.run();
    Frame out = bytes_of(camera_buffer);
    EXPECT_EQ(out, bytes_of(temp_frame));
    EXPECT_EQ(bytes_of(save_frame), b);
    for (unsigned y = 0; y < 12; ++y) {
        size_t last = (y * 16 + 15) * 3;
        EXPECT_EQ(std::memcmp(&out[last], &a[last], 3), 0) << "row " << y;
    }
    EXPECT_EQ(std::memcmp(&out[11 * 16 * 3], &a[11 * 16 * 3], 16 * 3), 0);
    // An interior value is the filter's, not a copy of either frame.
    Frame expect(b.size());
    std::memcpy(expect.data(), b.data(), b.size());
    color_type *src = reinterpret_cast<color_type *>(b.data());
    int d0 = std::abs(src[0].b - src[1].b) + std::abs(src[0].b - src[16].b);
    EXPECT_EQ(out[0], std::min(255, 5 * d0));
}

// Two steps: the second reads temp_frame and writes camera_buffer, so the rows
// that emboss leaves unwritten keep the raw camera rows; temp_frame gets a copy.
TEST_F(Pipeline, TwoStepsEndInCameraBuffer) {
    start(16, 12);
    Frame b = pattern_frame(16, 12, 3);
    load(b);
    set.filter_edgefast = true;
    set.filter_emboss = true;
    rig.run();
    Frame out = bytes_of(camera_buffer);
    EXPECT_EQ(out, bytes_of(temp_frame));
    EXPECT_EQ(std::memcmp(&out[0], &b[0], 16 * 3), 0) << "row 0 keeps the camera row";
    EXPECT_EQ(std::memcmp(&out[11 * 16 * 3], &b[11 * 16 * 3], 16 * 3), 0);
    EXPECT_EQ(bytes_of(save_frame), b);
}

// Three steps in pipeline order, regardless of the order the flags were set.
TEST_F(Pipeline, StepsRunInFixedOrder) {
    start(20, 10);
    Frame b = pattern_frame(20, 10, 4);
    load(b);
    // threshold (step 11) then reduceedge (13) then tracking (14)
    set.filter_tracking = true;
    set.filter_reduceedge = true;
    set.filter_threshold = true;
    rig.run();
    Frame out = bytes_of(camera_buffer);

    // The same chain by hand.
    std::vector<color_type> s(200), t(200), u(200), last(200);
    std::memcpy(s.data(), b.data(), b.size());
    frame_set f;
    f.size_x = 20;
    f.size_y = 10;
    f.last_frame = last.data();  // last_frame held zeros before the run too
    threshold_frame(f, s.data(), t.data(), set.threshold_1);
    reduceedge_frame(f, t.data(), u.data(), set.threshold_2);
    std::memset(t.data(), 0, b.size());
    target_frame(f, u.data(), t.data(), false);
    EXPECT_EQ(std::memcmp(out.data(), t.data(), out.size()), 0);
    EXPECT_EQ(bytes_of(temp_frame), out);
}

// A scene with gradients, texture and a bright block, so that every step
// changes it and no two neighbouring steps give the same in either order.
Frame scene(int w, int h) {
    Frame f(static_cast<size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            unsigned char *p = &f[(static_cast<size_t>(y) * w + x) * 3];
            bool block = x >= 6 && x < 14 && y >= 5 && y < 11;
            p[0] = static_cast<unsigned char>(block ? 30 : (x * 6 + y) % 256);
            p[1] = static_cast<unsigned char>(block ? 240 : (y * 9) % 256);
            p[2] = static_cast<unsigned char>(block ? 250 : ((x ^ y) * 5) % 256);
        }
    }
    return f;
}

// Each step of the table alone, and each pair of neighbouring steps, gives
// what its filters give when called in table order with the table's
// arguments, starting from the same fresh buffers.
TEST_F(Pipeline, EveryStepCallsItsFilterWithItsArgumentsInTableOrder) {
    const int w = 24, h = 18;
    const Frame in = scene(w, h);
    set.threshold_1 = 100.0;  // a value at which both thresholds leave marks
    for (size_t first = 0; first < 14; ++first) {
        for (size_t count : {1, 2}) {
            if (first + count > 14) continue;
            const WholeFrameStep *steps = whole_frame_steps;
            SCOPED_TRACE(std::string(steps[first].name) +
                         (count == 2 ? std::string(" then ") + steps[first + 1].name : ""));
            start(w, h);
            load(in);
            for (size_t i = first; i < first + count; ++i) set.*steps[i].flag = true;
            rig.run();
            const Frame out = bytes_of(camera_buffer);
            restart();

            // The same from fresh buffers: the raw frame saved, the first
            // filter into a zeroed frame, the second back over the raw one.
            start(w, h);
            std::memcpy(save_frame, in.data(), in.size());
            std::vector<color_type> a(static_cast<size_t>(w) * h), b(a.size());
            std::memcpy(a.data(), in.data(), in.size());
            steps[first].run(store.frames, set, a.data(), b.data());
            if (count == 2) steps[first + 1].run(store.frames, set, b.data(), a.data());
            const color_type *result = count == 2 ? a.data() : b.data();
            EXPECT_EQ(std::memcmp(out.data(), result, out.size()), 0);
            EXPECT_NE(out, in) << "the step changes the picture";
            restart();
        }
    }
}

// Below 5 x 5 no filter runs; at 5 x 5, the smallest size the filters run
// on, they change the picture.
TEST_F(Pipeline, TinyGeometryRunsNoFilterButStillCopies) {
    const int sizes[][2] = {{1, 1}, {3, 3}, {4, 4}, {4, 9}, {9, 4}, {5, 5}};
    for (const auto &size : sizes) {
        const int w = size[0], h = size[1];
        SCOPED_TRACE(::testing::Message() << w << " x " << h);
        start(w, h);
        set.filter_gauss = set.filter_canny = set.filter_emboss = set.filter_erode = set.filter_sobel = true;
        Frame in = pattern_frame(w, h, w + h);
        load(in);
        rig.run();
        EXPECT_EQ(bytes_of(camera_buffer) == in, w < 5 || h < 5);
        EXPECT_EQ(bytes_of(save_frame), in);
        restart();
    }
}

TEST_F(Pipeline, MissingBuffersRunNothing) {
    start(8, 8);
    process_stop(store);  // geometry stays, buffers go
    set.filter_gauss = true;
    load(pattern_frame(8, 8, 5));
    rig.run();  // must not touch the freed buffers
    EXPECT_EQ(bytes_of(camera_buffer), pattern_frame(8, 8, 5));
    clear_buffers(store);
    EXPECT_EQ(bytes_of(camera_buffer), Frame(8 * 8 * 3, 0));
    process_stop(store);
}

TEST_F(Pipeline, ClearBuffersZeroesAllFour) {
    start(8, 6);
    load(pattern_frame(8, 6, 6));
    rig.run();
    std::memset(last_frame, 7, 8 * 6 * 3);
    clear_buffers(store);
    Frame zero(8 * 6 * 3, 0);
    for (color_type *b : {camera_buffer, temp_frame, last_frame, save_frame}) EXPECT_EQ(bytes_of(b), zero);
}

int fail_after = -1;
bool fail_counted(size_t) { return fail_after-- == 0; }

TEST_F(Pipeline, AllocationFailureKeepsEarlierBuffersAtTheNewGeometry) {
    for (int which = 0; which < 3; ++which) {
        store.camera_x_size = 32;
        store.camera_y_size = 24;
        fail_after = which;
        buffer_alloc_should_fail = fail_counted;
        process_start(store, rig.log);
        buffer_alloc_should_fail = nullptr;
        EXPECT_STREQ(rig.log.status_line(which), "Unable to create display buffer");
        // The buffers made are for 32 x 24, so that is the geometry.
        EXPECT_EQ(store.frames.size_x, 32u);
        EXPECT_EQ(store.frames.size_y, 24u);
        EXPECT_EQ(last_frame != nullptr, which > 0);
        EXPECT_EQ(temp_frame != nullptr, which > 1);
        EXPECT_EQ(save_frame, nullptr);
        process_stop(store);
        process_stop(store);
        EXPECT_EQ(last_frame, nullptr);
        EXPECT_EQ(temp_frame, nullptr);
    }
}

TEST_F(Pipeline, ThresholdsAndFlagsStartAsDocumented) {
    EXPECT_EQ(set.threshold_1.load(), 42.0);
    EXPECT_EQ(set.threshold_2.load(), 260.0);
    EXPECT_FALSE(set.d_frame.load());
    EXPECT_FALSE(set.filter_gauss.load());
}

TEST(ShowFilters, NamesInOverlayOrderWithExactBlanks) {
    FilterSettings set;
    StatusLog log;
    show_filters(set, log);
    EXPECT_STREQ(log.status_line(0), "Filters: ");
    set.filter_canny = true;
    set.filter_gauss = true;
    show_filters(set, log);
    EXPECT_STREQ(log.status_line(1), "Filters: gauss canny ");
    set.filter_canny = set.filter_gauss = false;
    set.filter_average = set.filter_comboedge = true;
    show_filters(set, log);
    EXPECT_STREQ(log.status_line(2), "Filters: average combo edge");
    set.filter_average = set.filter_comboedge = false;
    set.filter_threshold = set.filter_erode = set.filter_tracking = true;
    show_filters(set, log);
    EXPECT_STREQ(log.status_line(3), "Filters: threshold  erode  tracking  ");
}

TEST(ShowFilters, AllFourteenIsCutTo79Characters) {
    FilterSettings set;
    StatusLog log;
    set_all_filters(set, true);
    show_filters(set, log);
    std::string full =
        "Filters: gauss rc sharpness canny edgefast laplace sobel emboss threshold  erode  tracking  "
        "reduceedge "
        "average combo edge";
    EXPECT_EQ(full.size(), 121u);
    EXPECT_EQ(std::string(log.status_line(0)), full.substr(0, 79));
}

}  // namespace
