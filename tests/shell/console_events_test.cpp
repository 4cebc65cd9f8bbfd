// Ctrl+C and closing the console window: the same orderly shutdown as
// Escape before anything ends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "capture/capture.h"
#include "shell/main.h"
#include "support/dshow_test.h"
#include "support/program.h"

namespace {

using namespace test_support;

// A camera, whose "fname:" line opens the console as the program starts.
void with_a_camera() {
    dshow_test::use_test_devices();
    dshow_test::add_device(dshow_test::Device());
}

// The program the test runs.
Program *program = nullptr;

bool wait_for_frames(int n) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (program->frames < n) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool camera_stopped() {
    VideoCapture *vc = program->camera.vc;
    return !program->store.camera_buffer && vc && !dshow_test::is_running(vc->graph);
}

TEST(ConsoleEvents, CtrlCShutsDownLikeEscape) {
    with_a_camera();
    ProgramRun run;
    program = &run.program();
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_for_frames(2));
    ASSERT_FALSE(camera_stopped());
    headless_console_event(CTRL_C_EVENT);
    // The process goes on: WinMain ends normally once the camera has stopped.
    EXPECT_EQ(run.finish(), 0);
    EXPECT_TRUE(camera_stopped());
}

void report_at_exit() {
    const char *text =
        camera_stopped() ? "ended after the camera stopped\n" : "ended with the camera running\n";
    ssize_t ignored = ::write(2, text, std::strlen(text));
    (void)ignored;
}

TEST(ConsoleEventsDeathTest, ClosingTheConsoleEndsTheProcessOnlyAfterTheShutdown) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            with_a_camera();
            ProgramRun *run = new ProgramRun;  // the process ends under it
            program = &run->program();
            if (!run->start_program()) std::_Exit(3);
            if (!wait_for_frames(2)) std::_Exit(4);
            std::at_quick_exit(report_at_exit);
            headless_console_event(CTRL_CLOSE_EVENT);
            std::this_thread::sleep_for(std::chrono::seconds(20));
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(58), "ended after the camera stopped");
}

}  // namespace
