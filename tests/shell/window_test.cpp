// The program's window side as it runs: start-up, the status strip on screen,
// size changes, the FPS timer and the two ways to end.
#include "shell/window.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/buffer.h"
#include "display/display.h"
#include "shell/main.h"
#include "support/program.h"

namespace {

using namespace test_support;

const int strip = 82;

// Status line i as drawn on the window surface of `run`.
bool shows_line(ProgramRun &run, const HeadlessImage &img, int i, const std::string &text) {
    return contains_at(img, text_image(text), 2, run.program().screen.display_y + 16 * i + 1);
}

TEST(Program, OpensItsWindowWithTheFirstLineAndEndsWithEscape) {
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    HeadlessWindowInfo info = headless_window_info(run.hwnd());
    EXPECT_EQ(info.caption, "Lumivex");
    EXPECT_EQ(info.class_name, "Lumivex");
    EXPECT_TRUE(info.visible);
    EXPECT_EQ(info.client_width, 360);
    EXPECT_EQ(info.client_height, 382);
    EXPECT_EQ(info.x, 150);
    EXPECT_EQ(info.y, 150);
    EXPECT_EQ(run.hwnd(), run.program().window.main_win);
    EXPECT_EQ(run.program().system_hwnd, run.program().window.main_win);
    EXPECT_EQ(run.program().screen.display_x, 360);
    EXPECT_EQ(run.program().screen.display_y, 300);

    HeadlessImage img = run.image();
    EXPECT_TRUE(shows_line(run, img, 0, "Look at readme.txt for usage"));
    // The strip's frame: black edges around it.
    EXPECT_EQ(img.at(100, 300), 0x000000u);
    EXPECT_EQ(img.at(100, 381), 0x000000u);
    EXPECT_EQ(img.at(0, 340), 0x000000u);
    EXPECT_EQ(img.at(359, 340), 0x000000u);

    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

TEST(Program, ClosingTheWindowEndsWithZero) {
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    run.close();
    EXPECT_EQ(run.finish(), 0);
    EXPECT_FALSE(headless_window_info(run.hwnd()).alive);
}

TEST(Program, EscapeThenCloseBeforeTheQuitShutsDownOnce) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(64, 48));
    run.down('5');
    {
        // Escape's shutdown waits for the frame lock to free the buffers, so
        // the close request is queued before the quit message: the destroy
        // message then runs system_shutdown a second time, which must do nothing.
        std::lock_guard<std::mutex> lock(run.program().store.frame_lock);
        headless_press(run.hwnd(), VK_ESCAPE);
        headless_close(run.hwnd());
    }
    EXPECT_EQ(run.finish(), 0);
    EXPECT_FALSE(headless_window_info(run.hwnd()).alive) << "the close request was handled";
    EXPECT_EQ(run.program().store.camera_buffer, nullptr);
    EXPECT_EQ(headless_quit_posts(), 1) << "one shutdown, one quit message";
}

TEST(Program, ExitsWithOneWhenNoWindowCanBeMade) {
    {
        // The class name is taken: registration fails.
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "Lumivex";
        ASSERT_NE(RegisterClassExA(&wc), 0);
        Program program;
        EXPECT_EQ(program_main(program, GetModuleHandleA(nullptr), SW_SHOW), 1);
        EXPECT_STREQ(program.log.status_line(0), "") << "nothing is shown when the window cannot be made";
    }
}

TEST(Program, ExitsWithOneWithoutADisplay) {
    headless_refuse_windows(true);
    Program program;
    EXPECT_EQ(program_main(program, GetModuleHandleA(nullptr), SW_SHOW), 1);
    EXPECT_EQ(program.window.main_win, nullptr);
}

TEST(Program, PaintWithoutACameraBufferRedrawsTheStripAndValidates) {
    // The camera buffer cannot be made: a paint that left the window invalid
    // would come straight back, a storm that starves the FPS timer.
    buffer_alloc_should_fail = [](size_t bytes) { return bytes == 8 * 8 * 3; };
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(8, 8));
    buffer_alloc_should_fail = nullptr;
    ASSERT_EQ(run.program().store.camera_buffer, nullptr);
    ASSERT_TRUE(headless_wait_idle(run.hwnd(), 2000)) << "the window thread never rests";
    HeadlessWindowInfo info = headless_window_info(run.hwnd());
    EXPECT_FALSE(info.needs_paint);
    EXPECT_LE(info.paints, 3u);

    // A paint brings the strip back over whatever covered it; the picture
    // area is left alone.
    Rectangle(run.program().window.main_dc, 0, 0, 360, 382);
    ASSERT_TRUE(InvalidateRect(run.hwnd(), nullptr, FALSE));
    run.settle();
    info = headless_window_info(run.hwnd());
    EXPECT_FALSE(info.needs_paint);
    EXPECT_LE(info.paints, 4u);
    HeadlessImage img = run.image();
    EXPECT_TRUE(shows_line(run, img, 1, "Unable to create camera buffer"));
    EXPECT_EQ(img.at(0, 300), 0x000000u) << "the strip's frame";
    EXPECT_EQ(img.at(100, 150), 0xffffffu);

    run.program().frames = 5;
    headless_advance_clock(1000);
    run.settle();
    EXPECT_EQ(run.program().fps, 5) << "the FPS timer is not starved";

    // A new status line asks for a repaint too, which comes and validates.
    uint64_t before = headless_window_info(run.hwnd()).paints;
    run.press('D');
    info = headless_window_info(run.hwnd());
    EXPECT_GT(info.paints, before);
    EXPECT_FALSE(info.needs_paint);
}

TEST(Program, ResizingMovesTheStripAndMinimisingHarmsNothing) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(32, 24));
    run.deliver_frame(std::vector<unsigned char>(32 * 24 * 3, 0x40));

    run.resize(500, 300);
    EXPECT_EQ(run.program().screen.display_x, 500);
    EXPECT_EQ(run.program().screen.display_y, 300 - strip);
    HeadlessImage img = run.image();
    EXPECT_TRUE(shows_line(run, img, 0, "Look at readme.txt for usage"));
    EXPECT_EQ(img.at(499, 150), 0x404040u) << "the picture fills the new width";
    EXPECT_EQ(img.at(499, 300 - strip), 0x000000u) << "the strip's top edge";

    // Minimised: 0 x 0; the picture area is 0 by -82 and nothing fails.
    run.resize(0, 0);
    EXPECT_EQ(run.program().screen.display_x, 0);
    EXPECT_EQ(run.program().screen.display_y, -strip);
    run.deliver_frame(std::vector<unsigned char>(32 * 24 * 3, 0x50));
    run.press('1');
    run.settle();

    // Smaller than the strip: the strip is drawn partly above the top.
    run.resize(120, 40);
    EXPECT_EQ(run.program().screen.display_y, 40 - strip);
    run.deliver_frame(std::vector<unsigned char>(32 * 24 * 3, 0x60));
    img = run.image();
    EXPECT_EQ(img.at(60, 39), 0x000000u) << "the strip's bottom edge is the last row";
    EXPECT_EQ(img.at(60, 20), 0xffffffu) << "no picture visible, only the strip";

    // Restored: true sizes and the picture are back.
    run.resize(360, 382);
    run.deliver_frame(std::vector<unsigned char>(32 * 24 * 3, 0x70));
    EXPECT_EQ(run.program().screen.display_y, 300);
    EXPECT_EQ(run.image().at(180, 150), 0x707070u);
    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

// Once the shutdown has begun, a frame is cut short: neither counted nor drawn.
TEST(Program, AFrameAfterTheShutdownBeganIsNeitherCountedNorShown) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(16, 16));
    run.deliver_frame(std::vector<unsigned char>(16 * 16 * 3, 0x20));
    EXPECT_EQ(run.image().at(180, 150), 0x202020u);
    run.program().store.stopping = true;
    run.deliver_frame(std::vector<unsigned char>(16 * 16 * 3, 0x70));
    EXPECT_EQ(run.program().frames, 1);
    EXPECT_EQ(run.image().at(180, 150), 0x202020u);
    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

TEST(Program, TimerShowsTheFramesOfTheLastSecond) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(16, 16));
    run.press('F');
    std::vector<unsigned char> frame(16 * 16 * 3, 0x20);
    run.deliver_frame(frame);
    // Before the first tick the figure is 0, padded to three places.
    EXPECT_TRUE(contains_at(run.image(), text_image("FPS:   0"), 2, 2));

    for (int i = 0; i < 7; ++i) run.deliver_frame(frame);
    EXPECT_EQ(run.program().frames, 8);
    headless_advance_clock(999);
    run.settle();
    EXPECT_EQ(run.program().fps, 0) << "no tick before 1000 ms";
    headless_advance_clock(1);
    run.settle();
    EXPECT_EQ(run.program().fps, 8);
    EXPECT_EQ(run.program().frames, 0);
    run.deliver_frame(frame);
    EXPECT_TRUE(contains_at(run.image(), text_image("FPS:   8"), 2, 2));

    for (int i = 0; i < 122; ++i) run.deliver_frame(frame);
    headless_advance_clock(1000);
    run.settle();
    EXPECT_EQ(run.program().fps, 123);
    run.deliver_frame(frame);
    EXPECT_TRUE(contains_at(run.image(), text_image("FPS: 123"), 2, 2));

    // A second without frames shows 0; other timer ids change nothing.
    headless_advance_clock(1000);
    run.settle();
    EXPECT_EQ(run.program().fps, 1);
    timer_message(run.program(), 3);
    EXPECT_EQ(run.program().fps, 1);
}

}  // namespace
