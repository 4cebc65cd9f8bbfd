// Every frame-sized allocation of a start or a restart fails in turn. Whatever
// could be made must be usable with the geometry the program then runs at:
// frames with every filter on, a repaint, the G key's clear and a snapshot
// run over whatever buffers exist (AddressSanitizer catches any that
// disagree with the geometry), the failure is a status line, and a stop
// releases everything (LeakSanitizer checks at exit).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/camera.h"
#include "common/buffer.h"
#include "display/display.h"
#include "filters/canny.h"
#include "filters/rc_filter.h"
#include "pipeline/bitmap.h"
#include "pipeline/process.h"
#include "shell/main.h"
#include "shell/utility.h"
#include "shell/window.h"
#include "support/program.h"

namespace {

int fail_at = 0;      // 1-based index of the allocation that fails, 0: none
int allocations = 0;  // allocations seen since the count was reset

bool fail_kth(size_t) { return ++allocations == fail_at; }

// The allocations of one start, in order, and the line each failure adds.
const char *const failure_lines[] = {
    "Unable to create camera buffer",      "Unable to create display buffer",
    "Unable to create display buffer",     "Unable to create display buffer",
    "Unable to create grad_mag buffer",    "Unable to create grad_ratio buffer",
    "Unable to create image_state buffer",
};
const int start_allocations = sizeof failure_lines / sizeof failure_lines[0];

std::atomic<bool> *const every_filter[] = {
    &filter_gauss,     &filter_rc,    &filter_sharpness,  &filter_canny,    &filter_edgefast,
    &filter_laplace,   &filter_sobel, &filter_comboedge,  &filter_average,  &filter_emboss,
    &filter_threshold, &filter_erode, &filter_reduceedge, &filter_tracking,
};

bool has_status_line(const char *text) {
    for (int i = 0; i < 5; ++i) {
        if (std::strcmp(status_line(i), text) == 0) return true;
    }
    return false;
}

// A camera sample of the current camera size: rows padded to 4 bytes.
void feed_frame(unsigned char seed) {
    const size_t stride = (static_cast<size_t>(camera_x_size) * 3 + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> sample(stride * static_cast<size_t>(camera_y_size));
    for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 7 + seed);
    frame_callback(sample.data(), static_cast<int>(sample.size()), 24);
}

// What the window thread and the delivery thread do with the buffers.
void use_every_buffer() {
    feed_frame(1);
    feed_frame(2);
    display();
    clear_buffers();
    save_to_disk();
    fast_capture = true;
    feed_frame(3);
    save_to_disk();
    fast_capture = false;
}

void start_at(int width, int height) {
    camera_x_size = width;
    camera_y_size = height;
    camera_make_buffers();
}

bool all_released() {
    return !camera_buffer && !last_frame && !temp_frame && !save_frame && !grad_mag && !grad_ratio &&
           !image_state;
}

class AllocationSweep : public ::testing::Test {
  protected:
    void SetUp() override {
        // A window so that repaints really read the picture.
        if (!main_win) {
            ASSERT_EQ(setup_window(GetModuleHandleA(nullptr), SW_SHOW), 0);
        }
        for (std::atomic<bool> *f : every_filter) *f = true;
    }
    void TearDown() override {
        buffer_alloc_should_fail = nullptr;
        for (std::atomic<bool> *f : every_filter) *f = false;
        camera_stop();
    }

    // Starts at `first` (unless 0 x 0), then starts at `second` with the k-th
    // allocation failing, for every k; returns how many were swept.
    int sweep(int first_w, int first_h, int second_w, int second_h) {
        int swept = 0;
        for (int k = 1;; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            camera_stop();
            clear_text_area();
            if (first_w > 0) {
                start_at(first_w, first_h);
                use_every_buffer();
            }
            allocations = 0;
            fail_at = k;
            buffer_alloc_should_fail = fail_kth;
            start_at(second_w, second_h);
            buffer_alloc_should_fail = nullptr;
            const bool failed = allocations >= k;
            // The geometry is the new one, whatever could be made.
            EXPECT_EQ(size_x, static_cast<unsigned>(second_w));
            EXPECT_EQ(size_y, static_cast<unsigned>(second_h));
            if (failed) {
                EXPECT_LE(k, start_allocations);
                if (k <= start_allocations) {
                    EXPECT_TRUE(has_status_line(failure_lines[k - 1]));
                }
            }
            use_every_buffer();
            camera_stop();
            EXPECT_TRUE(all_released());
            if (!failed) break;
            ++swept;
            if (::testing::Test::HasFailure()) break;
        }
        return swept;
    }

    test_support::TempDir dir;  // snapshots land here
};

TEST_F(AllocationSweep, EveryFailureOfAFirstStartLeavesConsistentBuffers) {
    EXPECT_EQ(sweep(0, 0, 66, 50), start_allocations);
}

TEST_F(AllocationSweep, EveryFailureOfARestartAtABiggerSizeLeavesConsistentBuffers) {
    EXPECT_EQ(sweep(34, 26, 66, 50), start_allocations);
}

TEST_F(AllocationSweep, EveryFailureOfARestartAtASmallerSizeLeavesConsistentBuffers) {
    EXPECT_EQ(sweep(66, 50, 34, 26), start_allocations);
}

TEST_F(AllocationSweep, EveryFailureOfARestartAtTheSameSizeLeavesConsistentBuffers) {
    EXPECT_EQ(sweep(66, 50, 66, 50), start_allocations);
}

}  // namespace
