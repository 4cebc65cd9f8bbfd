// The delivery thread and the window thread at work together, as under a
// running camera. Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera.h"
#include "display/display.h"
#include "pipeline/process.h"
#include "shell/main.h"
#include "support/program.h"

namespace {

using namespace test_support;

TEST(Threads, FramesArriveWhileKeysSnapshotsResizesAndTicksRun) {
    TempDir dir;
    ProgramRun run;
    const int width = 320;
    const int height = 240;
    ASSERT_TRUE(run.start_with_frame(width, height));

    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::thread feeder([&] {
        // Every frame is one flat grey level, so any mix of two frames shows.
        std::vector<unsigned char> frame(static_cast<size_t>(width) * height * 3);
        for (int k = 1; !stop; ++k) {
            std::fill(frame.begin(), frame.end(), static_cast<unsigned char>(k % 250 + 1));
            run.deliver_frame(frame);
            ++delivered;
            // A short gap, as between camera frames, so the window thread gets the lock.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });

    int ticked = 0;
    const int rounds = 40;
    const unsigned int commands[] = {'R', 'G', 'F', 'D', 'W', 'R', 'S'};
    for (int i = 0; i < rounds; ++i) {
        for (unsigned int key : commands) headless_press(run.hwnd(), key);
        headless_resize(run.hwnd(), 100 + (i % 5) * 40, 90 + (i % 3) * 60);
        if (i % 4 == 0) {
            headless_advance_clock(1000);
            run.settle();
            ticked += run.program().fps;
        }
        InvalidateRect(run.hwnd(), nullptr, FALSE);
        run.settle();
    }
    // Let some frames through after the last command, then stop delivering
    // before shutting down, as the capture graph's stop does.
    int seen = delivered;
    while (delivered < seen + 3) std::this_thread::yield();
    stop = true;
    feeder.join();
    headless_advance_clock(1000);
    run.settle();
    ticked += run.program().fps;
    EXPECT_EQ(ticked + run.program().frames, delivered) << "every frame counted once";
    EXPECT_EQ(run.program().frames, 0);

    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);

    // Every snapshot holds one whole frame: one grey level throughout.
    for (int n = 1; n <= 2 * rounds; ++n) {
        std::vector<unsigned char> file = read_file(dir.file(std::to_string(n) + ".bmp"));
        ASSERT_EQ(file.size(), 54u + width * height * 3) << n;
        for (size_t i = 54; i < file.size(); ++i)
            ASSERT_EQ(file[i], file[54]) << "snapshot " << n << " byte " << i;
    }
}

TEST(Threads, FiltersSwitchWhileFramesRunThroughThem) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(64, 48));
    std::atomic<bool> stop{false};
    std::atomic<int> delivered{0};
    std::thread feeder([&] {
        std::vector<unsigned char> frame = position_frame(64, 48);
        while (!stop) {
            run.deliver_frame(frame);
            ++delivered;
            // A short gap, as between camera frames, so the window thread gets the lock.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    });
    const unsigned int filter_keys[] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                        '9', '0', 'E', 'Y', 'U', 'I', 'V', 'B'};
    for (int i = 0; i < 6; ++i) {
        for (unsigned int key : filter_keys) {
            headless_press(run.hwnd(), key);
            if (key % 3 == 0) headless_press(run.hwnd(), i % 2 ? 'W' : 'Q');
        }
        int before = delivered;
        run.settle();
        while (delivered < before + 1) std::this_thread::yield();
    }
    stop = true;
    feeder.join();

    // All off again: the next frame goes through untouched.
    run.press('B');
    if (run.program().settings.filter_average) run.press('Y');
    if (run.program().settings.filter_canny) run.press('I');
    std::vector<unsigned char> frame = position_frame(64, 48);
    run.deliver_frame(frame);
    {
        std::lock_guard<std::mutex> lock(run.program().store.frame_lock);
        const unsigned char *bytes = reinterpret_cast<const unsigned char *>(run.program().store.camera_buffer);
        EXPECT_TRUE(std::equal(frame.begin(), frame.end(), bytes));
    }
    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

}  // namespace
