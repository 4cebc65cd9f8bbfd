#include "pipeline/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/camera.h"
#include "display/display.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"
#include "shell/utility.h"

namespace {

using Frame = std::vector<unsigned char>;

Frame pattern_frame(int w, int h, int seed) {
    Frame f(static_cast<size_t>(w) * h * 3);
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = static_cast<unsigned char>((i * 37 + seed * 101 + (i / 7) * 13) & 0xff);
    return f;
}

Frame bytes_of(const color_type *buffer) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(buffer);
    return Frame(p, p + static_cast<size_t>(size_x) * size_y * 3);
}

void load(const Frame &f) { std::memcpy(camera_buffer, f.data(), f.size()); }

void all_filters_off() {
    for (std::atomic<bool> *f :
         {&filter_gauss, &filter_rc, &filter_sharpness, &filter_canny, &filter_edgefast, &filter_laplace,
          &filter_sobel, &filter_comboedge, &filter_average, &filter_emboss, &filter_threshold, &filter_erode,
          &filter_reduceedge, &filter_tracking})
        *f = false;
}

class Pipeline : public ::testing::Test {
  protected:
    void start(int w, int h) {
        camera_x_size = w;
        camera_y_size = h;
        camera_setup_buffer();
        process_start();
        canny_start();
        rc_filter_start();
    }
    void TearDown() override {
        buffer_free(camera_buffer);
        camera_buffer = nullptr;
        process_stop();
        canny_stop();
        rc_filter_stop();
        all_filters_off();
    }
};

TEST_F(Pipeline, StartPublishesGeometryAndZeroFilledBuffers) {
    start(640, 480);
    EXPECT_EQ(size_x, 640u);
    EXPECT_EQ(size_y, 480u);
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
    process_frame();
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
    process_frame();  // temp_frame now holds a
    Frame b = pattern_frame(16, 12, 2);
    load(b);
    filter_edgefast = true;
    process_frame();
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
    filter_edgefast = true;
    filter_emboss = true;
    process_frame();
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
    filter_tracking = true;
    filter_reduceedge = true;
    filter_threshold = true;
    process_frame();
    Frame out = bytes_of(camera_buffer);

    // The same chain by hand.
    std::vector<color_type> s(200), t(200), u(200), last(200);
    std::memcpy(s.data(), b.data(), b.size());
    threshold_frame(s.data(), t.data(), threshold_1);
    reduceedge_frame(t.data(), u.data(), threshold_2);
    std::memset(t.data(), 0, b.size());
    color_type *saved_last = last_frame;
    last_frame = last.data();  // last_frame held zeros before the run too
    target_frame(u.data(), t.data());
    last_frame = saved_last;
    EXPECT_EQ(std::memcmp(out.data(), t.data(), out.size()), 0);
    EXPECT_EQ(bytes_of(temp_frame), out);
}

TEST_F(Pipeline, TinyGeometryRunsNoFilterButStillCopies) {
    for (int size : {1, 3, 4}) {
        start(size, size);
        filter_gauss = filter_canny = filter_tracking = filter_erode = filter_sobel = true;
        Frame in = pattern_frame(size, size, size);
        load(in);
        process_frame();
        EXPECT_EQ(bytes_of(camera_buffer), in);
        EXPECT_EQ(bytes_of(save_frame), in);
        TearDown();
    }
}

TEST_F(Pipeline, MissingBuffersRunNothing) {
    start(8, 8);
    process_stop();  // geometry stays, buffers go
    filter_gauss = true;
    load(pattern_frame(8, 8, 5));
    process_frame();  // must not touch the freed buffers
    EXPECT_EQ(bytes_of(camera_buffer), pattern_frame(8, 8, 5));
    clear_buffers();
    EXPECT_EQ(bytes_of(camera_buffer), Frame(8 * 8 * 3, 0));
    process_stop();
}

TEST_F(Pipeline, ClearBuffersZeroesAllFour) {
    start(8, 6);
    load(pattern_frame(8, 6, 6));
    process_frame();
    std::memset(last_frame, 7, 8 * 6 * 3);
    clear_buffers();
    Frame zero(8 * 6 * 3, 0);
    for (color_type *b : {camera_buffer, temp_frame, last_frame, save_frame}) EXPECT_EQ(bytes_of(b), zero);
}

int fail_after = -1;
bool fail_counted(size_t) { return fail_after-- == 0; }

TEST_F(Pipeline, AllocationFailureKeepsEarlierBuffersAtTheNewGeometry) {
    for (int which = 0; which < 3; ++which) {
        camera_x_size = 32;
        camera_y_size = 24;
        fail_after = which;
        buffer_alloc_should_fail = fail_counted;
        process_start();
        buffer_alloc_should_fail = nullptr;
        EXPECT_STREQ(status_line(which), "Unable to create display buffer");
        // The buffers made are for 32 x 24, so that is the geometry.
        EXPECT_EQ(size_x, 32u);
        EXPECT_EQ(size_y, 24u);
        EXPECT_EQ(last_frame != nullptr, which > 0);
        EXPECT_EQ(temp_frame != nullptr, which > 1);
        EXPECT_EQ(save_frame, nullptr);
        process_stop();
        process_stop();
        EXPECT_EQ(last_frame, nullptr);
        EXPECT_EQ(temp_frame, nullptr);
    }
}

TEST_F(Pipeline, ThresholdsAndFlagsStartAsDocumented) {
    EXPECT_EQ(threshold_1.load(), 42.0);
    EXPECT_EQ(threshold_2.load(), 260.0);
    EXPECT_FALSE(d_frame.load());
    EXPECT_FALSE(filter_gauss.load());
}

TEST(ShowFilters, NamesInOverlayOrderWithExactBlanks) {
    show_filters();
    EXPECT_STREQ(status_line(0), "Filters: ");
    filter_canny = true;
    filter_gauss = true;
    show_filters();
    EXPECT_STREQ(status_line(1), "Filters: gauss canny ");
    filter_canny = filter_gauss = false;
    filter_average = filter_comboedge = true;
    show_filters();
    EXPECT_STREQ(status_line(2), "Filters: average combo edge");
    filter_average = filter_comboedge = false;
    filter_threshold = filter_erode = filter_tracking = true;
    show_filters();
    EXPECT_STREQ(status_line(3), "Filters: threshold  erode  tracking  ");
}

TEST(ShowFilters, AllFourteenIsCutTo79Characters) {
    for (std::atomic<bool> *f :
         {&filter_gauss, &filter_rc, &filter_sharpness, &filter_canny, &filter_edgefast, &filter_laplace,
          &filter_sobel, &filter_comboedge, &filter_average, &filter_emboss, &filter_threshold, &filter_erode,
          &filter_reduceedge, &filter_tracking})
        *f = true;
    show_filters();
    std::string full =
        "Filters: gauss rc sharpness canny edgefast laplace sobel emboss threshold  erode  tracking  "
        "reduceedge "
        "average combo edge";
    EXPECT_EQ(full.size(), 121u);
    EXPECT_EQ(std::string(status_line(0)), full.substr(0, 79));
}

}  // namespace
