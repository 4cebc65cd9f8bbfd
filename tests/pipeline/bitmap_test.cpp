// Snapshots taken with R while the program runs.
#include "pipeline/bitmap.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/buffer.h"
#include "pipeline/pipeline_support.h"
#include "support/program.h"

namespace {

using namespace test_support;

uint32_t u32(const std::vector<unsigned char> &b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t u16(const std::vector<unsigned char> &b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

std::vector<unsigned char> pattern(int width, int height) {
    std::vector<unsigned char> f(static_cast<size_t>(width) * height * 3);
    for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<unsigned char>((i * 7 + i / 1000) & 0xff);
    return f;
}

void expect_headers(const std::vector<unsigned char> &file, int width, int height, uint32_t image_bytes) {
    ASSERT_GE(file.size(), 54u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(u32(file, 2), 54 + image_bytes) << "bfSize";
    EXPECT_EQ(u16(file, 6), 0);
    EXPECT_EQ(u16(file, 8), 0);
    EXPECT_EQ(u32(file, 10), 54u) << "bfOffBits";
    EXPECT_EQ(u32(file, 14), 40u);
    EXPECT_EQ(static_cast<int32_t>(u32(file, 18)), width);
    EXPECT_EQ(static_cast<int32_t>(u32(file, 22)), height) << "positive: bottom-up";
    EXPECT_EQ(u16(file, 26), 1);
    EXPECT_EQ(u16(file, 28), 24);
    EXPECT_EQ(u32(file, 30), 0u);
    EXPECT_EQ(u32(file, 34), image_bytes) << "biSizeImage";
    for (size_t at = 38; at < 54; ++at) EXPECT_EQ(file[at], 0) << at;
    EXPECT_EQ(file.size(), 54u + image_bytes);
}

TEST(Snapshot, WritesNumberedFilesOfTheFrameAsShown) {
    TempDir dir;
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(640, 480));
    std::vector<unsigned char> frame = pattern(640, 480);
    run.deliver_frame(frame);
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(1), "Save to: 1.bmp");
    std::vector<unsigned char> file = read_file(dir.file("1.bmp"));
    ASSERT_EQ(file.size(), 921654u);
    expect_headers(file, 640, 480, 921600);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), file.begin() + 54)) << "the frame byte for byte";

    // The next one gets the next number; under fast capture rows are reversed.
    run.press('G');
    run.deliver_frame(frame);
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(3), "Save to: 2.bmp");
    file = read_file(dir.file("2.bmp"));
    ASSERT_EQ(file.size(), 921654u);
    expect_headers(file, 640, 480, 921600);
    const size_t row = 640 * 3;
    for (size_t r = 0; r < 480; ++r) {
        ASSERT_EQ(std::memcmp(&file[54 + r * row], &frame[(479 - r) * row], row), 0) << "file row " << r;
    }
    EXPECT_FALSE(file_exists(dir.file("2.bmp.tmp")));
}

TEST(Snapshot, ReplacesAnOlderLongerFileWhole) {
    TempDir dir;
    {
        FILE *f = std::fopen("1.bmp", "wb");
        ASSERT_NE(f, nullptr);
        for (int i = 0; i < 5000; ++i) std::fputc('x', f);
        std::fclose(f);
    }
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(16, 8));
    std::vector<unsigned char> frame = pattern(16, 8);
    run.deliver_frame(frame);
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(1), "Save to: 1.bmp");
    EXPECT_STREQ(run.program().log.status_line(2), "") << "no failure line";
    std::vector<unsigned char> file = read_file(dir.file("1.bmp"));
    ASSERT_EQ(file.size(), 54u + 16 * 8 * 3);
    expect_headers(file, 16, 8, 16 * 8 * 3);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), file.begin() + 54));
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"1.bmp"}) << "no temporary file left";
}

TEST(Snapshot, OddWidthGetsPaddedRowsAndMatchingSizes) {
    TempDir dir;
    ProgramRun run;
    // 5 pixels = 15 bytes per row, stored as 16.
    ASSERT_TRUE(run.start_with_frame(5, 3));
    std::vector<unsigned char> frame = pattern(5, 3);
    run.deliver_frame(frame);
    run.press('R');
    std::vector<unsigned char> file = read_file(dir.file("1.bmp"));
    ASSERT_EQ(file.size(), 54u + 48u);
    expect_headers(file, 5, 3, 48);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(std::memcmp(&file[54 + r * 16], &frame[r * 15], 15), 0) << r;
        EXPECT_EQ(file[54 + r * 16 + 15], 0) << "padding byte is zero";
    }
    // Fast capture with padding: rows reversed, still padded.
    run.press('G');
    run.deliver_frame(frame);
    run.press('R');
    file = read_file(dir.file("2.bmp"));
    ASSERT_EQ(file.size(), 102u);
    for (int r = 0; r < 3; ++r) EXPECT_EQ(std::memcmp(&file[54 + r * 16], &frame[(2 - r) * 15], 15), 0) << r;
}

TEST(Snapshot, UnwritableDirectorySaysSoAndKeepsCounting) {
    TempDir dir;
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(8, 8));
    run.deliver_frame(pattern(8, 8));
    // The working directory is gone: nothing can be created in it, even as root.
    ASSERT_EQ(rmdir(dir.path().c_str()), 0);
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(1), "Save to: 1.bmp");
    EXPECT_STREQ(run.program().log.status_line(2), "Unable to save 1.bmp");
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(3), "Save to: 2.bmp");
    EXPECT_STREQ(run.program().log.status_line(4), "Unable to save 2.bmp");
}

// The caller gets the file and the system's reason for a failed snapshot,
// and nothing for one that was written.
TEST(Snapshot, SaveToDiskReturnsWhyAFileCouldNotBeWritten) {
    TempDir dir;
    PipelineRig rig;
    rig.start(4, 2);
    Snapshots snapshots;
    snapshots.snapshot_folder = dir.file("missing/");
    const std::string error = save_to_disk(rig.store, rig.settings, rig.log, snapshots);
    EXPECT_EQ(error.rfind(dir.file("missing/1.bmp: "), 0), 0u) << error;
    EXPECT_GT(error.size(), dir.file("missing/1.bmp: ").size()) << "with the system's reason";
    EXPECT_STREQ(rig.log.status_line(1), "Unable to save 1.bmp");
    snapshots.snapshot_folder = dir.path() + "/";
    EXPECT_EQ(save_to_disk(rig.store, rig.settings, rig.log, snapshots), "");
    EXPECT_EQ(read_file(dir.file("2.bmp")).size(), 54u + 4 * 2 * 3);
}

TEST(Snapshot, FailedWriteLeavesTheOlderFileAndNoPartialOne) {
    TempDir dir;
    const std::string old_content = "an older snapshot";
    {
        FILE *f = std::fopen("1.bmp", "wb");
        ASSERT_NE(f, nullptr);
        std::fputs(old_content.c_str(), f);
        std::fclose(f);
    }
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(64, 64));
    run.deliver_frame(pattern(64, 64));
    // Files may not grow past 1000 bytes: the pixel write fails half-way.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit small = previous;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    run.press('R');
    setrlimit(RLIMIT_FSIZE, &previous);

    EXPECT_STREQ(run.program().log.status_line(2), "Unable to save 1.bmp");
    std::vector<unsigned char> file = read_file(dir.file("1.bmp"));
    EXPECT_EQ(std::string(file.begin(), file.end()), old_content);
    EXPECT_FALSE(file_exists(dir.file("1.bmp.tmp")));

    // With room again the next snapshot is whole.
    run.press('R');
    EXPECT_EQ(read_file(dir.file("2.bmp")).size(), 54u + 64 * 64 * 3);
}

TEST(Snapshot, NothingToSaveKeepsTheNumber) {
    TempDir dir;
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(4, 4));
    {
        // As if the camera buffer could not be made.
        std::lock_guard<std::mutex> lock(run.program().store.frame_lock);
        buffer_free(run.program().store.camera_buffer);
        run.program().store.camera_buffer = nullptr;
    }
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(1), "Nothing to save");
    EXPECT_FALSE(file_exists(dir.file("1.bmp")));
    {
        std::lock_guard<std::mutex> lock(run.program().store.frame_lock);
        run.program().camera.camera_setup_buffer();
    }
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(2), "Save to: 1.bmp");
    EXPECT_EQ(read_file(dir.file("1.bmp")).size(), 54u + 48u);
}

TEST(Snapshot, KeyQueuedAfterShutdownFindsNoBuffer) {
    TempDir dir;
    ProgramRun run;
    ASSERT_TRUE(run.start_with_frame(4, 4));
    run.down('7');
    {
        // With 7 held, Escape's handling adds a filters line after shutting
        // down, and waits here for the frame lock: R and G queue up before
        // the quit message can be taken.
        std::lock_guard<std::mutex> lock(run.program().store.frame_lock);
        headless_press(run.hwnd(), VK_ESCAPE);
        headless_press(run.hwnd(), 'R');
        headless_press(run.hwnd(), 'G');
    }
    EXPECT_EQ(run.finish(), 0);
    // The held 7 toggles on every key-down: Escape, R and G.
    EXPECT_STREQ(run.program().log.status_line(0), "Filters: ");
    EXPECT_STREQ(run.program().log.status_line(1), "Filters: emboss ");
    EXPECT_STREQ(run.program().log.status_line(2), "Nothing to save");
    EXPECT_STREQ(run.program().log.status_line(3), "Filters: ");
    EXPECT_STREQ(run.program().log.status_line(4), "Fast Capture");
    EXPECT_FALSE(file_exists(dir.file("1.bmp")));
}

}  // namespace
