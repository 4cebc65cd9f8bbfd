// The whole program, in this process, against the emulated V4L2 camera
// (tests/support/fakecam, preloaded): the real libv4l2 opens, negotiates and
// converts, the portable DirectShow streams, the camera intake shows. Each
// test runs in a process of its own with the camera configured by the
// FAKECAM_* variables that tests/CMakeLists.txt gives it; run without the
// emulation, the tests are skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "capture/camera_rig.h"
#include "capture/capture.h"
#include "shell/options.h"
#include "shell/program.h"
#include "support/fakecam/picture.h"
#include "support/program.h"

namespace {

using namespace test_support;

bool emulated() {
    const char *preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "fakecam");
}

std::string env(const char *name, const char *otherwise = "") {
    const char *value = std::getenv(name);
    return value ? value : otherwise;
}

// The first format the camera offers, as configured.
std::string first_format() {
    std::string formats = env("FAKECAM_FORMATS", "YUYV");
    return formats.substr(0, formats.find(','));
}

bool lossless(const std::string &format) {
    return format == "BGR3" || format == "BGR24" || format == "RGB3" || format == "RGB24";
}

// Status line i (the window thread writes them).
std::string line(ProgramRun &run, int i) { return lines_of(run.program().log)[static_cast<size_t>(i)]; }

// Whether any of the five status lines is `text`.
bool has_line(ProgramRun &run, const std::string &text) {
    return test_support::has_line(run.program().log, text);
}

// The camera's frame size, read under the frame lock (the camera's start writes it).
std::pair<int, int> camera_size(ProgramRun &run) {
    FrameStore &store = run.program().store;
    std::lock_guard<std::mutex> lock(store.frame_lock);
    return {store.camera_x_size, store.camera_y_size};
}

// Status line i as drawn under the picture, as far as the window shows it.
bool shows_line(ProgramRun &run, const HeadlessImage &img, int i, const std::string &text) {
    HeadlessImage part = text_image(text);
    int visible = std::min(part.width, img.width - 2);
    HeadlessImage cut;
    cut.width = visible;
    cut.height = part.height;
    for (int y = 0; y < part.height; ++y) {
        auto row = part.pixels.begin() + static_cast<long>(y) * part.width * 3;
        cut.pixels.insert(cut.pixels.end(), row, row + visible * 3);
    }
    return contains_at(img, cut, 2, run.program().screen.display_y + 16 * i + 1);
}

// The picture area of the window, read as the emulated camera's picture.
fakecam_reading read_picture(ProgramRun &run, int tolerance = 48) {
    HeadlessImage img = run.image();
    const Display &screen = run.program().screen;
    fakecam_reading r;
    fakecam_read(img.pixels.data(), static_cast<size_t>(img.width) * 3, screen.display_x, screen.display_y,
                 tolerance, &r);
    return r;
}

// Waits (real time) until `done`, moving the program's clock on a quarter of
// a second every quarter of a second, so its timers run as they would.
bool wait_until(const ProgramRun &, const std::function<bool()> &done, double seconds = 10) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        headless_advance_clock(250);
    }
    return true;
}

// A key pressed while frames keep the window thread busy (settling would
// wait for a quiet moment that may not come).
void press(const ProgramRun &run, unsigned int vk) {
    headless_press(run.hwnd(), vk);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

// Escape, and the exit code.
int escape(ProgramRun &run) {
    headless_press(run.hwnd(), VK_ESCAPE);
    return run.finish();
}

struct Snapshot {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> top_down;  // rows top first, unpadded
    fakecam_reading reading{};
    int max_diff = 0;  // against the frame it says it is
    double mean_diff = 0;
};

Snapshot read_snapshot(const std::string &path) {
    Snapshot s;
    std::vector<unsigned char> file = read_file(path);
    if (file.size() < 54) return s;
    auto field = [&](size_t at) {
        return static_cast<int32_t>(file[at] | file[at + 1] << 8 | file[at + 2] << 16 |
                                    static_cast<uint32_t>(file[at + 3]) << 24);
    };
    s.width = field(18);
    s.height = field(22);
    size_t stride = (static_cast<size_t>(s.width) * 3 + 3) & ~static_cast<size_t>(3);
    size_t row = static_cast<size_t>(s.width) * 3;
    if (file.size() < 54 + stride * static_cast<size_t>(s.height)) return Snapshot();
    s.top_down.resize(row * static_cast<size_t>(s.height));
    for (int y = 0; y < s.height; ++y)
        std::memcpy(&s.top_down[row * static_cast<size_t>(y)],
                    &file[54 + stride * static_cast<size_t>(s.height - 1 - y)], row);
    fakecam_read(s.top_down.data(), row, s.width, s.height, 48, &s.reading);
    std::vector<unsigned char> expected(s.top_down.size());
    fakecam_draw_bgr(expected.data(), row, s.width, s.height, s.reading.frame);
    double total = 0;
    for (int y = 0; y < s.height; ++y) {
        int from = s.reading.marker_bottom_left ? s.height - 1 - y : y;
        for (size_t i = 0; i < row; ++i) {
            int d = std::abs(static_cast<int>(s.top_down[row * y + i]) - expected[row * from + i]);
            if (d > s.max_diff) s.max_diff = d;
            total += d;
        }
    }
    s.mean_diff = total / static_cast<double>(s.top_down.size());
    return s;
}

// R, then waits (up to 10 s) for the file: snapshots are written to a
// temporary file and renamed, so a file that exists is whole.
bool save(const ProgramRun &run, const std::string &path) {
    headless_press(run.hwnd(), 'R');
    return wait_until(run, [&] { return file_exists(path); });
}

// This process's standard error goes to a file while it lives, where the
// program's lines can be counted.
class StderrToFile {
  public:
    explicit StderrToFile(const std::string &path) : path_(path) {
        std::fflush(stderr);
        saved_ = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, 2);
            ::close(fd);
        }
    }
    ~StderrToFile() {
        std::fflush(stderr);
        dup2(saved_, 2);
        ::close(saved_);
    }
    std::string text() const {
        std::vector<unsigned char> bytes = read_file(path_);
        return std::string(bytes.begin(), bytes.end());
    }
    // Lines that hold `part`.
    int lines_with(const std::string &part) const {
        std::string all = text();
        int count = 0;
        for (size_t at = 0, end; at < all.size(); at = end + 1) {
            end = all.find('\n', at);
            if (end == std::string::npos) end = all.size();
            if (all.substr(at, end - at).find(part) != std::string::npos) ++count;
        }
        return count;
    }

  private:
    std::string path_;
    int saved_ = -1;
};

class Emulated : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!emulated()) GTEST_SKIP() << "needs the emulated camera preloaded (run through ctest)";
    }
    TempDir dir;
};

// The camera's frames reach the window and the snapshots in the right
// colours and orientation, exactly for the uncompressed formats, and G flips
// both.
TEST_F(Emulated, ShowsAndSavesTheCamerasFrames) {
    const std::string format = first_format();
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }))
        << "the window never showed the camera's picture";
    fakecam_reading shown = read_picture(run);
    EXPECT_TRUE(shown.bars_right) << "colour bars out of order (red/blue swapped: " << shown.bars_swapped
                                  << ")";
    EXPECT_TRUE(shows_line(run, run.image(), 0, "Look at readme.txt for usage"));
    EXPECT_EQ(line(run, 1), "") << "a healthy camera adds no line";
    EXPECT_EQ(camera_size(run), std::make_pair(640, 480));

    ASSERT_TRUE(save(run, dir.file("1.bmp")));
    Snapshot first = read_snapshot(dir.file("1.bmp"));
    ASSERT_EQ(first.width, 640);
    ASSERT_EQ(first.height, 480);
    EXPECT_TRUE(first.reading.marker_top_left);
    EXPECT_TRUE(first.reading.bars_right);
    // libv4l2's conversions: none or a byte swap for RGB, YUV arithmetic for
    // YUYV, a JPEG decoder for MJPEG (whose edges ring: only the mean holds).
    int allowed = lossless(format) ? 0 : format == "YUYV" ? 8 : 255;
    double mean_allowed = format == "MJPG" ? 3.0 : 1.0;
    EXPECT_LE(first.max_diff, allowed) << format << ": snapshot differs from frame " << first.reading.frame;
    EXPECT_LE(first.mean_diff, mean_allowed) << format;

    // Fresh frames: a later snapshot holds a later frame.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    press(run, 'G');
    ASSERT_TRUE(wait_until(run, [&] { return read_picture(run).marker_bottom_left; }))
        << "G did not turn the picture upside down";
    ASSERT_TRUE(save(run, dir.file("2.bmp")));
    Snapshot second = read_snapshot(dir.file("2.bmp"));
    EXPECT_TRUE(second.reading.marker_bottom_left) << "the snapshot is not stored flipped";
    EXPECT_LE(second.max_diff, allowed);
    EXPECT_LE(second.mean_diff, mean_allowed);
    EXPECT_GT(second.reading.frame, first.reading.frame);

    press(run, 'G');
    EXPECT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }));
    EXPECT_EQ(escape(run), 0);
}

// A device that answers S_FMT with another size than the nearest: the
// program takes the size the device reports.
TEST_F(Emulated, TakesTheSizeTheDeviceSets) {
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }));
    EXPECT_EQ(camera_size(run), std::make_pair(320, 240));
    ASSERT_TRUE(save(run, dir.file("1.bmp")));
    Snapshot s = read_snapshot(dir.file("1.bmp"));
    EXPECT_EQ(s.width, 320);
    EXPECT_EQ(s.height, 240);
    EXPECT_TRUE(s.reading.bars_right);
    EXPECT_EQ(escape(run), 0);
}

// The FPS figure counts the frames the device sends: FAKECAM_FPS (or the
// slow fault's 5), give or take the edges of the second.
TEST_F(Emulated, TheFpsFigureFollowsTheDevice) {
    int rate = env("FAKECAM_FAULT") == "slow" ? 5 : std::atoi(env("FAKECAM_FPS", "30").c_str());
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }));
    press(run, 'F');
    headless_advance_clock(1000);
    auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    headless_advance_clock(1000);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The timer's count is what the device sent since the last tick (about
    // two seconds here): never more than the device's rate allows. A slow
    // device is followed closely (any machine keeps up with 5 frames a
    // second); at 30 a loaded machine or a sanitizer may drop frames.
    int counted = run.program().fps;
    EXPECT_LE(counted, static_cast<int>(rate * elapsed) + 2);
    EXPECT_GT(counted, 0);
    if (rate <= 5) {
        EXPECT_GE(counted, static_cast<int>(rate * elapsed / 2));
    }
    char figure[16];
    std::snprintf(figure, sizeof figure, "FPS: %3d", counted);
    EXPECT_TRUE(wait_until(
        run, [&] { return contains_at(run.image(), text_image(figure), 2, 2); }, 3))
        << "the window does not show " << figure;
    EXPECT_EQ(escape(run), 0);
}

// LUMIVEX_TRACE: a line for each frame shown, in the camera's order, each
// ready when the camera stamped it (when it fell due: frame n at n periods
// after the first), then dequeued, published and shown in that order.
TEST_F(Emulated, TheTraceFollowsEachFrameToTheScreen) {
    const std::string path = env("LUMIVEX_TRACE");
    if (path.empty()) GTEST_SKIP() << "LUMIVEX_TRACE is not set";
    const double period_us = 1e6 / std::atof(env("FAKECAM_FPS", "30").c_str());
    struct Line {
        unsigned long long seq, ready, dequeued, published, shown;
    };
    auto read_trace = [&] {
        std::vector<Line> lines;
        FILE *f = std::fopen(path.c_str(), "r");
        if (!f) return lines;
        char text[256];
        while (std::fgets(text, sizeof text, f)) {
            Line l{};
            char shown[32];
            if (text[0] == '#') continue;
            EXPECT_EQ(std::sscanf(text, "%llu %llu %llu %llu %31s", &l.seq, &l.ready, &l.dequeued,
                                  &l.published, shown),
                      5)
                << text;
            l.shown = std::strcmp(shown, "-") == 0 ? 0 : std::strtoull(shown, nullptr, 10);
            lines.push_back(l);
        }
        std::fclose(f);
        return lines;
    };
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return read_trace().size() >= 10; })) << "no trace lines in " << path;
    EXPECT_EQ(escape(run), 0);
    const std::vector<Line> lines = read_trace();
    for (size_t i = 0; i < lines.size(); ++i) {
        const Line &l = lines[i];
        EXPECT_LE(l.ready, l.dequeued) << "frame " << l.seq;
        EXPECT_LE(l.dequeued, l.published) << "frame " << l.seq;
        if (l.shown) {
            EXPECT_LE(l.published, l.shown) << "frame " << l.seq;
        }
        if (i == 0) continue;
        EXPECT_GT(l.seq, lines[i - 1].seq);
        const double apart = (l.seq - lines[0].seq) * period_us;
        EXPECT_NEAR(static_cast<double>(l.ready - lines[0].ready), apart, 2.0) << "frame " << l.seq;
    }
}

// A camera that cannot be used: the line LUMIVEX_EXPECT_LINE on the strip,
// the moving test pattern in the picture, keys and Escape as always.
TEST_F(Emulated, ACameraThatCannotBeUsedSaysWhy) {
    const std::string expected = env("LUMIVEX_EXPECT_LINE");
    ASSERT_FALSE(expected.empty());
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    EXPECT_EQ(line(run, 1), expected);
    EXPECT_TRUE(wait_until(
        run, [&] { return shows_line(run, run.image(), 1, expected); }, 3));
    EXPECT_LE(expected.size(), 79u);
    EXPECT_TRUE(wait_until(run, [&] { return run.program().frames > 0 || run.program().fps > 0; }))
        << "no pattern frames";
    EXPECT_FALSE(read_picture(run).marker_top_left) << "the camera's picture shows anyway";
    EXPECT_TRUE(save(run, dir.file("1.bmp")));
    EXPECT_EQ(escape(run), 0);
}

// A camera that streams but never sends a frame: the program says so once
// and keeps answering.
TEST_F(Emulated, AStalledCameraIsReported) {
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    EXPECT_TRUE(wait_until(run, [&] { return has_line(run, "Camera Lumivex Fakecam: no picture"); }))
        << "line 1: " << line(run, 1);
    EXPECT_EQ(run.program().fps, 0);
    press(run, 'G');
    EXPECT_TRUE(has_line(run, "Fast Capture"));
    EXPECT_EQ(escape(run), 0);
}

// Controls from the command line reach the camera once it runs: brightness
// shifts the picture, a manual exposure given before the auto_exposure that
// frees it is taken all the same, and a control the camera refuses (focus
// locked by autofocus) is a status line while the picture goes on.
TEST_F(Emulated, ControlsFromTheCommandLineChangeThePicture) {
    const char *args[] = {
        "lumivex",   "--control",       "brightness=40", "--control",         "exposure_time_absolute=375",
        "--control", "auto_exposure=1", "--control",     "focus_absolute=100"};
    set_command_line(9, const_cast<char **>(args));
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    const std::string refused = "Camera refused focus_absolute=100";
    EXPECT_TRUE(wait_until(run, [&] { return has_line(run, refused); })) << "line 1: " << line(run, 1);
    // The grey of the picture: 96 * 375 / 250 + 40.
    auto grey = [&] {
        HeadlessImage img = run.image();
        const unsigned char *p =
            &img.pixels[(static_cast<size_t>(run.program().screen.display_y - 8) * img.width + 8) * 3];
        return p[0] == 184 && p[1] == 184 && p[2] == 184;
    };
    if (!env("FAKECAM_REPLUG_AFTER").empty()) {
        // A camera plugged in again starts from its defaults: the controls
        // are set once more.
        ASSERT_TRUE(wait_until(run, [&] { return has_line(run, "Camera Lumivex Fakecam: reconnected"); }));
        EXPECT_TRUE(wait_until(run, grey)) << "the controls were not set again after the reconnect";
        EXPECT_EQ(escape(run), 0);
        return;
    }
    ASSERT_TRUE(wait_until(run, grey)) << "the window does not show the controls' picture";
    ASSERT_TRUE(save(run, dir.file("1.bmp")));
    Snapshot s = read_snapshot(dir.file("1.bmp"));
    ASSERT_EQ(s.width, 640);
    size_t bottom_left = static_cast<size_t>(s.height - 4) * static_cast<size_t>(s.width) * 3;
    EXPECT_EQ(s.top_down[bottom_left], 184);
    EXPECT_EQ(s.top_down[bottom_left + 2], 184);
    EXPECT_GT(run.program().fps + run.program().frames, 0);
    EXPECT_EQ(escape(run), 0);
}

// --list-controls shows the camera's controls; an unknown control or a
// value out of range ends the program before any window with one line.
TEST_F(Emulated, ControlOptionsAreCheckedAgainstTheCamera) {
    Program program;
    auto apply_options = [&program](const std::vector<std::string> &args) {
        return ::apply_options(args, program.camera, program.request, program.snapshots, nullptr);
    };
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(apply_options({"--list-controls"}), 0);
    std::string listed = "\n" + ::testing::internal::GetCapturedStdout();
    EXPECT_NE(listed.find("\nbrightness "), std::string::npos) << listed;
    EXPECT_NE(listed.find("-64..64 "), std::string::npos) << listed;
    EXPECT_NE(listed.find("\n    3: Aperture Priority Mode\n"), std::string::npos) << listed;
    EXPECT_NE(listed.find("white_balance_temperature"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("user_controls"), std::string::npos) << "class headings are not controls";

    const std::vector<std::string> mistakes[] = {
        {"--control", "no_such_control=1"},
        {"--control", "brightness=65"},
        {"--control", "auto_exposure=2"},
        {"--control=brightness"},
    };
    for (const auto &args : mistakes) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(apply_options(args), 2) << args.back();
        std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    }
    EXPECT_EQ(apply_options({"--control", "brightness=-64", "--control", "focus_absolute=250"}), -1);
}

// Unplugged while streaming: a line says so, the pattern takes over within
// a second, keys and snapshots go on; when FAKECAM_REPLUG_AFTER is set the
// camera comes back by itself.
TEST_F(Emulated, ALostCameraGivesWayToThePatternAndComesBack) {
    const bool returns = !env("FAKECAM_REPLUG_AFTER").empty();
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }));
    ASSERT_TRUE(wait_until(run, [&] { return line(run, 1) != ""; }));
    EXPECT_EQ(line(run, 1), "Camera Lumivex Fakecam: lost");
    auto lost_at = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_until(
        run, [&] { return !read_picture(run).marker_top_left; }, 1.0))
        << "the camera's last picture stayed";
    EXPECT_LT(std::chrono::steady_clock::now() - lost_at, std::chrono::milliseconds(1500));
    EXPECT_TRUE(save(run, dir.file("1.bmp")));
    Snapshot during = read_snapshot(dir.file("1.bmp"));
    EXPECT_EQ(during.width, 640) << "the pattern keeps the camera's size";
    EXPECT_FALSE(during.reading.marker_top_left);
    press(run, 'G');
    EXPECT_TRUE(has_line(run, "Fast Capture"));
    if (returns) {
        EXPECT_TRUE(wait_until(run, [&] { return has_line(run, "Camera Lumivex Fakecam: reconnected"); }));
        EXPECT_TRUE(wait_until(run, [&] {
            fakecam_reading r = read_picture(run, 80);
            return r.marker_top_left || r.marker_bottom_left;
        })) << "the camera's picture did not come back";
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        headless_advance_clock(1500);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(has_line(run, "Camera Lumivex Fakecam: reconnected"));
    }
    EXPECT_TRUE(save(run, dir.file("2.bmp")));
    EXPECT_EQ(escape(run), 0);
}

// A camera unplugged FAKECAM_UNPLUGS times in one run, each time back soon
// after: every loss and every return is told once, and the camera's picture
// is shown again at the end.
TEST_F(Emulated, ACameraUnpluggedAgainAndAgainComesBackEachTime) {
    const int cycles = std::atoi(env("FAKECAM_UNPLUGS", "1").c_str());
    StderrToFile err(dir.file("stderr.txt"));
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }));
    EXPECT_TRUE(wait_until(
        run, [&] { return err.lines_with(": reconnected") >= cycles; }, 20.0 * cycles))
        << err.text();
    EXPECT_EQ(err.lines_with(": lost"), cycles) << err.text();
    EXPECT_EQ(err.lines_with(": reconnected"), cycles) << err.text();
    EXPECT_TRUE(wait_until(run, [&] { return read_picture(run).marker_top_left; }))
        << "the camera's picture did not come back the last time";
    EXPECT_EQ(escape(run), 0);
}

// A camera that streams but fails every dequeue: lost and reconnected again
// and again, but less and less often (said once on the strip), and standard
// error stays readable.
TEST_F(Emulated, ACameraThatKeepsFailingIsRetriedLessOften) {
    StderrToFile err(dir.file("stderr.txt"));
    ProgramRun run;
    ASSERT_TRUE(run.start_program());
    ASSERT_TRUE(wait_until(run, [&] { return err.lines_with(": lost") >= 1; })) << err.text();
    // Waits out a window of ten seconds from the first loss: retried after 1,
    // 2 and 4 s, it is lost at most four times in it.
    wait_until(
        run, [] { return false; }, 10.0);
    int lost = err.lines_with(": lost");
    EXPECT_GE(lost, 2) << "never tried again\n" << err.text();
    EXPECT_LE(lost, 4) << err.text();
    EXPECT_LE(err.lines_with(": reconnected"), lost) << err.text();
    EXPECT_EQ(err.lines_with("Camera Lumivex Fakecam: keeps failing: retrying less often"), 1) << err.text();
    EXPECT_LE(err.lines_with("libv4l2"), 10) << err.text();
    EXPECT_EQ(escape(run), 0);
}

// A multi-planar node (FAKECAM_MPLANE=video1) gives the picture the
// single-plane node (video0) gives in the same format and size, NV12 in two
// planes (NM12) included, without a word on standard output: the frames
// match byte for byte below the band that holds the frame number.
TEST_F(Emulated, AMultiPlanarNodeGivesTheSamePictureAsASinglePlaneOne) {
    const char *const pairs[][2] = {{"NV12", "NM12"}, {"YUYV", "YUYV"}, {"MJPG", "MJPG"}};
    for (const auto &pair : pairs) {
        std::vector<unsigned char> frames[2];
        for (int node = 0; node < 2; ++node) {
            CameraRig rig;
            ::testing::internal::CaptureStdout();
            rig.rebuild();
            EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
            CameraRequest request;
            request.camera_choice = node;
            ASSERT_TRUE(parse_fourcc(pair[node], request.requested_format));
            rig.camera.camera_start(request);
            ASSERT_TRUE(rig.wait_for_frames(3)) << pair[node] << " on video" << node << ": " << rig.line(1);
            EXPECT_EQ(describe_format(rig.camera.vc->obtained),
                      std::string(pair[node]) + " 640x480 at 30 fps");
            frames[node] = rig.frame();
            // Bottom-up rows read as top-down: the camera's picture upside down.
            fakecam_reading reading;
            fakecam_read(frames[node].data(), 640 * 3, 640, 480, 48, &reading);
            EXPECT_TRUE(reading.marker_bottom_left && reading.bars_right)
                << pair[node] << " on video" << node;
        }
        ASSERT_EQ(frames[0].size(), 640u * 480 * 3);
        ASSERT_EQ(frames[1].size(), frames[0].size());
        // The top 3/16 (the last rows here) hold the frame number, and JPEG
        // blocks and chroma shared with it.
        const size_t same = 640 * 3 * (480 - 90);
        EXPECT_EQ(std::memcmp(frames[0].data(), frames[1].data(), same), 0)
            << pair[0] << " against " << pair[1];
    }
}

}  // namespace

// The options LUMIVEX_ARGS (words apart) ask for a format, size or rate: the
// camera sends LUMIVEX_EXPECT_FORMAT ("MJPG 1920x1080 at 30 fps"), the
// picture shows in its colours, and standard error says what was obtained;
// the strip too (LUMIVEX_EXPECT_LINE) when it is not what was asked for.
TEST_F(Emulated, GivesTheFormatAskedFor) {
    std::vector<std::string> args;
    std::string words = env("LUMIVEX_ARGS");
    for (size_t at = 0; at < words.size();) {
        size_t end = std::min(words.find(' ', at), words.size());
        if (end > at) args.push_back(words.substr(at, end - at));
        at = end + 1;
    }
    std::vector<char *> argv = {const_cast<char *>("lumivex")};
    for (std::string &a : args) argv.push_back(&a[0]);
    set_command_line(static_cast<int>(argv.size()), argv.data());
    const std::string expected = env("LUMIVEX_EXPECT_FORMAT");
    ::testing::internal::CaptureStderr();
    ProgramRun run;
    bool started = run.start_program();
    bool shown = started && wait_until(run, [&] { return read_picture(run).marker_top_left; });
    fakecam_reading reading = read_picture(run);
    // When it is not what was asked for, the strip says so.
    const std::string differs = env("LUMIVEX_EXPECT_LINE");
    bool said = differs.empty() || has_line(run, differs);
    int code = started ? escape(run) : -1;
    std::string err = ::testing::internal::GetCapturedStderr();
    set_command_line(0, nullptr);
    ASSERT_TRUE(shown) << "the window never showed the camera's picture";
    EXPECT_TRUE(reading.bars_right);
    EXPECT_EQ(describe_format(run.program().camera.vc->obtained), expected);
    EXPECT_TRUE(said) << "no status line '" << differs << "'";
    EXPECT_NE(err.find("lumivex: Camera Lumivex Fakecam: " + expected), std::string::npos) << err;
    EXPECT_EQ(code, 0);
}
