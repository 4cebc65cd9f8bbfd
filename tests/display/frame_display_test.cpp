// The picture and the strip as they land on the window's surface.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "capture/pattern.h"
#include "common/buffer.h"
#include "display/display.h"
#include "platform/font.h"
#include "shell/program.h"
#include "support/new_limit.h"
#include "support/program.h"

namespace {

using namespace test_support;

// Source position of a surface pixel drawn from position_frame.
int source_x(uint32_t c) { return static_cast<int>((c & 0xff) | (((c >> 16) & 0x0f) << 8)); }
int source_y(uint32_t c) { return static_cast<int>(((c >> 8) & 0xff) | (((c >> 20) & 0x0f) << 8)); }

TEST(FrameDisplay, SmallFrameIsStretchedToFillThePictureArea) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(320, 240));
    run.resize(640, 400 + 82);
    ASSERT_EQ(run.program().screen.display_x, 640);
    ASSERT_EQ(run.program().screen.display_y, 400);
    run.deliver_frame(position_frame(320, 240));
    EXPECT_FALSE(headless_window_info(run.hwnd()).needs_paint) << "a drawn frame leaves no repaint pending";
    HeadlessImage img = run.image();

    // Twice as wide: every source column twice, in order.
    for (int x = 0; x < 640; ++x) ASSERT_EQ(source_x(img.at(x, 200)), x / 2) << x;
    // 5/3 as high: the top shows the last frame row (the frame is bottom-up),
    // each row once or twice, none skipped.
    std::vector<int> shown(240, 0);
    for (int y = 0; y < 400; ++y) ++shown[source_y(img.at(100, y))];
    EXPECT_EQ(source_y(img.at(100, 0)), 239);
    EXPECT_EQ(source_y(img.at(100, 399)), 0);
    int twice = 0;
    for (int row = 0; row < 240; ++row) {
        EXPECT_TRUE(shown[row] == 1 || shown[row] == 2) << row;
        twice += shown[row] == 2;
    }
    EXPECT_EQ(twice, 160);
    // The strip starts right below.
    EXPECT_EQ(img.at(100, 400), 0x000000u);
    EXPECT_TRUE(contains_at(img, text_image("Look at readme.txt for usage"), 2, 401));
}

TEST(FrameDisplay, ShrinkingKeepsWholePixelsSoOnePixelMarksSurvive) {
    // 640 x 480 into the 360 x 300 picture area: each shown pixel is one
    // frame pixel, nearest to its place, never a blend of neighbours.
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(640, 480));
    run.deliver_frame(position_frame(640, 480));
    HeadlessImage img = run.image();
    for (int y = 0; y < 300; ++y) {
        for (int x = 0; x < 360; ++x) {
            ASSERT_EQ(source_x(img.at(x, y)), (2 * x + 1) * 640 / 720) << x << "," << y;
            ASSERT_EQ(source_y(img.at(x, y)), 479 - (2 * y + 1) * 480 / 600) << x << "," << y;
        }
    }
    // A white one-pixel line on black, in a frame row that shares its screen
    // row with a black one, still shows.
    std::vector<unsigned char> marks(640 * 480 * 3, 0);
    std::memset(&marks[static_cast<size_t>(477) * 640 * 3], 0xff, 640 * 3);
    run.deliver_frame(marks);
    img = run.image();
    int white = 0;
    for (int y = 0; y < 300; ++y) white += img.at(100, y) == 0xffffffu;
    EXPECT_EQ(white, 1);
    EXPECT_EQ(img.at(100, 1), 0xffffffu);
}

TEST(FrameDisplay, FastCaptureShowsTheSameFrameUpsideDown) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(40, 30));
    run.resize(200, 30 + 82);
    std::vector<unsigned char> frame = position_frame(40, 30);
    run.deliver_frame(frame);
    HeadlessImage normal = run.image();
    run.press('G');
    run.deliver_frame(frame);
    HeadlessImage flipped = run.image();
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 200; ++x) {
            ASSERT_EQ(normal.at(x, y), flipped.at(x, 29 - y)) << x << "," << y;
            ASSERT_EQ(source_y(flipped.at(x, y)), y);
        }
    }
    // The strip itself is not flipped.
    EXPECT_TRUE(contains_at(flipped, text_image("Fast Capture"), 2, 30 + 16 + 1));
}

TEST(FrameDisplay, OddWidthRowsStayAligned) {
    // 7 pixels = 21 bytes per row: the display hands over padded rows.
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(7, 5));
    run.resize(7, 5 + 82);
    run.deliver_frame(position_frame(7, 5));
    HeadlessImage img = run.image();
    for (int y = 0; y < 5; ++y) {
        for (int x = 0; x < 7; ++x) {
            EXPECT_EQ(source_x(img.at(x, y)), x);
            EXPECT_EQ(source_y(img.at(x, y)), 4 - y);
        }
    }
}

TEST(FrameDisplay, StripLinesScrollOnScreenAndFpsIsDrawnOverThePicture) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(16, 16));
    run.deliver_frame(std::vector<unsigned char>(16 * 16 * 3, 0x10));
    // Six lines: threshold keys add two each.
    run.press('W');
    run.press('S');
    run.press('D');
    HeadlessImage img = run.image();
    const char *expected[] = {"Threshold2: 260.00", "Threshold1: 44.00", "Threshold2: 261.00",
                              "Show difference"};
    EXPECT_TRUE(contains_at(img, text_image("Threshold1: 44.00"), 2, 300 + 1));
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(contains_at(img, text_image(expected[i]), 2, 300 + 16 * (i + 1) + 1)) << i;
    EXPECT_FALSE(contains_at(img, text_image("Look at readme.txt for usage"), 2, 301)) << "scrolled off";

    // The FPS figure sits at (2, 2) over the picture; the picture shows around it.
    run.press('F');
    run.deliver_frame(std::vector<unsigned char>(16 * 16 * 3, 0x10));
    img = run.image();
    HeadlessImage figure = text_image("FPS:   0");
    EXPECT_TRUE(contains_at(img, figure, 2, 2));
    EXPECT_EQ(img.at(1, 1), 0x101010u);
    EXPECT_EQ(img.at(2 + figure.width, 10), 0x101010u);
    run.press('F');
    run.deliver_frame(std::vector<unsigned char>(16 * 16 * 3, 0x10));
    EXPECT_EQ(run.image().at(3, 8), 0x101010u) << "figure gone once switched off";
}

TEST(FrameDisplay, OnlyALineWithNewTextIsRasterisedAgain) {
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(16, 16));
    const std::vector<unsigned char> frame(16 * 16 * 3, 0x10);
    run.deliver_frame(frame);
    run.settle();
    const uint64_t start = lvx::text_runs_rasterised();
    for (int i = 0; i < 3; ++i) run.deliver_frame(frame);
    run.settle();
    EXPECT_EQ(lvx::text_runs_rasterised(), start) << "frames with the same lines";

    run.press('D');  // "Show difference"
    run.deliver_frame(frame);
    EXPECT_EQ(lvx::text_runs_rasterised(), start + 1);
    run.press('D');  // "Show normal"
    run.press('D');  // "Show difference" again: still kept
    EXPECT_EQ(lvx::text_runs_rasterised(), start + 2);
    run.press('W');  // two threshold lines; the strip scrolls, the lines that move are not new
    run.deliver_frame(frame);
    EXPECT_EQ(lvx::text_runs_rasterised(), start + 4);
    EXPECT_STREQ(run.program().log.status_line(0), "Show difference");

    run.press('F');  // the FPS figure: once, then copied on every frame
    run.deliver_frame(frame);
    run.deliver_frame(frame);
    run.settle();
    EXPECT_EQ(lvx::text_runs_rasterised(), start + 5);
    // What is shown is what a fresh drawing of each line gives.
    HeadlessImage img = run.image();
    const char *expected[] = {"Show difference", "Show normal", "Show difference", "Threshold1: 44.00",
                              "Threshold2: 260.00"};
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(contains_at(img, text_image(expected[i]), 2, 300 + 16 * i + 1)) << expected[i];
    EXPECT_TRUE(contains_at(img, text_image("FPS:   0"), 2, 2));
}

TEST(FrameDisplay, AFrameOfThePatternAllocatesNothingOnceWarm) {
    // The delivery thread's work for one frame with no filter on, outside
    // the pipeline: the pattern, the intake copy, the display with the strip
    // full and the FPS figure on.
    Program program;
    HDC main_dc = headless_create_surface(360, 300 + strip_height);
    program.window.main_dc = main_dc;
    SetStretchBltMode(main_dc, COLORONCOLOR);
    program.store.camera_x_size = pattern_width;
    program.store.camera_y_size = pattern_height;
    program.camera.camera_setup_buffer();
    ASSERT_NE(program.store.camera_buffer, nullptr);
    for (const char *line : {"Look at readme.txt for usage", "Filters: gauss sobel ", "Threshold1: 42.00",
                             "Threshold2: 260.00", "Save to: 1.bmp", "Show difference"})
        program.log.add_line(line);
    program.screen.display_fps = true;
    PatternFrames pattern;
    ASSERT_TRUE(pattern.prepare(pattern_width, pattern_height));
    std::vector<unsigned char> sample(((pattern_width * 3 + 3) & ~3) * pattern_height);
    auto frame = [&](unsigned n) {
        pattern.draw(sample.data(), n);
        ASSERT_TRUE(program.camera.camera_take_frame(sample.data(), static_cast<int>(sample.size()), 24));
        program.draw();
    };
    frame(0);
    const size_t before = allocations_made();
    for (unsigned n = 1; n < 6; ++n) frame(n);
    EXPECT_EQ(allocations_made(), before);
    // And what it drew is the pattern's frame, shrunk by sampling.
    pattern_draw(sample.data(), pattern_width, pattern_height, 5);
    HeadlessImage img = headless_read(main_dc);
    for (int y = 0; y < 300; y += 7) {
        for (int x = 0; x < 360; x += 5) {
            if (x < 80 && y < 18) continue;  // the FPS figure
            const int sx = (2 * x + 1) * pattern_width / 720, sy = (2 * y + 1) * pattern_height / 600;
            const unsigned char *p =
                &sample[((pattern_width * 3 + 3) & ~3) * (pattern_height - 1 - sy) + sx * 3];
            ASSERT_EQ(img.at(x, y), static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16)) << x << "," << y;
        }
    }
    buffer_free(program.store.camera_buffer);
    program.store.camera_buffer = nullptr;
}

}  // namespace
