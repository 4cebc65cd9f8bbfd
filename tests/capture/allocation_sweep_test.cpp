// Every frame-sized allocation of a start or a restart fails in turn. Whatever
// could be made must be usable with the geometry the program then runs at:
// frames with every filter on, a repaint, the G key's clear and a snapshot
// run over whatever buffers exist (AddressSanitizer catches any that
// disagree with the geometry), the failure is a status line, and a stop
// releases everything (LeakSanitizer checks at exit).
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "capture/camera_rig.h"
#include "common/buffer.h"
#include "pipeline/bitmap.h"
#include "pipeline/filter_registry.h"
#include "pipeline/process.h"
#include "shell/program.h"
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

class AllocationSweep : public ::testing::Test {
  protected:
    // One program, with a window so that repaints really read the picture,
    // for every case of the suite: the window class is registered once.
    static void SetUpTestSuite() {
        program = new Program;
        window_made = setup_window(*program, GetModuleHandleA(nullptr), SW_SHOW) == 0;
    }
    static void TearDownTestSuite() {
        delete program;
        program = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(window_made);
        set_every_filter(true);
    }
    void TearDown() override {
        buffer_alloc_should_fail = nullptr;
        set_every_filter(false);
        program->camera.camera_stop();
    }

    static void set_every_filter(bool on) {
        for (const filter_entry &e : filter_registry) program->settings.*e.flag = on;
    }

    // A camera sample of the current camera size: rows padded to 4 bytes.
    static void feed_frame(unsigned char seed) {
        const FrameStore &store = program->store;
        const size_t stride = (static_cast<size_t>(store.camera_x_size) * 3 + 3) & ~static_cast<size_t>(3);
        std::vector<unsigned char> sample(stride * static_cast<size_t>(store.camera_y_size));
        for (size_t i = 0; i < sample.size(); ++i) sample[i] = static_cast<unsigned char>(i * 7 + seed);
        program->camera.frame_callback(sample.data(), static_cast<int>(sample.size()), 24);
    }

    // What the window thread and the delivery thread do with the buffers.
    static void use_every_buffer() {
        Program &p = *program;
        feed_frame(1);
        feed_frame(2);
        {
            std::lock_guard<std::mutex> lock(p.store.frame_lock);
            p.draw();
        }
        clear_buffers(p.store);
        save_to_disk(p.store, p.settings, p.log, p.snapshots);
        p.settings.fast_capture = true;
        feed_frame(3);
        save_to_disk(p.store, p.settings, p.log, p.snapshots);
        p.settings.fast_capture = false;
    }

    static void start_at(int width, int height) {
        program->store.camera_x_size = width;
        program->store.camera_y_size = height;
        program->camera.camera_make_buffers();
    }

    // Starts at `first` (unless 0 x 0), then starts at `second` with the k-th
    // allocation failing, for every k; returns how many were swept.
    int sweep(int first_w, int first_h, int second_w, int second_h) {
        int swept = 0;
        for (int k = 1;; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            program->camera.camera_stop();
            program->log.clear_text_area();
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
            EXPECT_EQ(program->store.frames.size_x, static_cast<unsigned>(second_w));
            EXPECT_EQ(program->store.frames.size_y, static_cast<unsigned>(second_h));
            if (failed) {
                EXPECT_LE(k, start_allocations);
                if (k <= start_allocations) {
                    EXPECT_TRUE(test_support::has_line(program->log, failure_lines[k - 1]));
                }
            }
            use_every_buffer();
            program->camera.camera_stop();
            EXPECT_TRUE(test_support::all_buffers_released(program->store));
            if (!failed) break;
            ++swept;
            if (::testing::Test::HasFailure()) break;
        }
        return swept;
    }

    static Program *program;
    static bool window_made;
    test_support::TempDir dir;  // snapshots land here
};

Program *AllocationSweep::program = nullptr;
bool AllocationSweep::window_made = false;

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
