// Command-line options: parsing, the program's answers to --help, --version
// and mistakes (the real executable), choosing a camera among the test
// devices, and the snapshot folder.
#include "shell/options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture/capture.h"
#include "capture/formats.h"
#include "shell/program.h"
#include "support/dshow_test.h"
#include "support/program.h"

namespace {

using namespace test_support;

// apply_options over a program's own parts.
int apply_to(Program &program, const std::vector<std::string> &args) {
    return apply_options(args, program.camera, program.request, program.snapshots, nullptr);
}

struct Parsed {
    bool ok;
    Options options;
    std::string error;
};

Parsed parse(const std::vector<std::string> &args) {
    Parsed p;
    p.ok = parse_options(args, p.options, p.error);
    return p;
}

TEST(OptionParsing, AcceptsEveryOptionWithSeparateOrAttachedValues) {
    Parsed p = parse({"--camera", "1", "--size", "1280x720", "--snapshot-dir", "shots"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.camera, "1");
    EXPECT_EQ(p.options.width, 1280);
    EXPECT_EQ(p.options.height, 720);
    EXPECT_EQ(p.options.snapshot_dir, "shots");
    EXPECT_FALSE(p.options.help || p.options.version || p.options.list_cameras);

    p = parse({"--camera=USB Camera: HD", "--size=640X480", "--snapshot-dir=/tmp/a=b"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.camera, "USB Camera: HD");
    EXPECT_EQ(p.options.width, 640);
    EXPECT_EQ(p.options.height, 480);
    EXPECT_EQ(p.options.snapshot_dir, "/tmp/a=b");

    p = parse({"--list-cameras", "--version", "-h"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.options.list_cameras && p.options.version && p.options.help);

    // Formats by their FOURCC or the names people know; rates with a fraction.
    p = parse({"--format", "mjpeg", "--fps=7.5", "--list-formats"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(fourcc_name(p.options.format), "MJPG");
    EXPECT_DOUBLE_EQ(p.options.fps, 7.5);
    EXPECT_TRUE(p.options.list_formats);
    for (const char *same : {"YUY2", "yuyv"})
        EXPECT_EQ(fourcc_name(parse({"--format", same}).options.format), "YUYV");
    EXPECT_EQ(fourcc_name(parse({"--format=RGB24"}).options.format), "BGR3");
    EXPECT_EQ(fourcc_name(parse({"--format=I420"}).options.format), "YU12");
    EXPECT_EQ(fourcc_name(parse({"--format=GREY"}).options.format), "GREY");

    // The last of a repeated option counts; a value may start with a dash.
    p = parse({"--camera", "0", "--camera", "-weird-name"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.camera, "-weird-name");

    // "--" ends the options; the largest size stands at the limit.
    p = parse({"--size", "16384x16384", "--"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.width, 16384);
    EXPECT_EQ(p.options.height, 16384);
}

TEST(OptionParsing, RejectsUnknownOptionsBadValuesAndMissingValuesNamingThem) {
    struct Case {
        std::vector<std::string> args;
        std::string names;
    } cases[] = {
        {{"--bogus"}, "'--bogus'"},
        {{"-x"}, "'-x'"},
        {{"picture.bmp"}, "'picture.bmp'"},
        {{"--help=yes"}, "'--help'"},
        {{"--camera"}, "'--camera'"},
        {{"--size"}, "'--size'"},
        {{"--snapshot-dir="}, "'--snapshot-dir'"},
        {{"--size", "640"}, "'640'"},
        {{"--size", "640x"}, "'640x'"},
        {{"--size", "x480"}, "'x480'"},
        {{"--size", "0x480"}, "'0x480'"},
        {{"--size", "640x480x3"}, "'640x480x3'"},
        {{"--size", "-640x480"}, "'-640x480'"},
        {{"--size", "99999x480"}, "'99999x480'"},
        {{"--size", "20000x100"}, "'20000x100'"},
        {{"--size", "640 x 480"}, "'640 x 480'"},
        {{"--size", "16385x16384"}, "'16385x16384'"},
        {{"--size", "16384x16385"}, "'16384x16385'"},
        {{"--", "--help"}, "unexpected argument '--help'"},
        // Control characters are shown, not sent to the terminal.
        {{"--size", "1x1\n\x1b[2J"}, "'1x1\\n\\x1b[2J'"},
        {{"-\tx\r"}, "'-\\tx\\r'"},
        {{"--format", "MOTIONJPEG"}, "'MOTIONJPEG'"},
        {{"--format"}, "'--format'"},
        {{"--fps", "0"}, "'0'"},
        {{"--fps", "-5"}, "'-5'"},
        {{"--fps", "30fps"}, "'30fps'"},
        {{"--fps", "1e9"}, "'1e9'"},
        {{"--verbose=1"}, "'--verbose'"},
    };
    for (const Case &c : cases) {
        Parsed p = parse(c.args);
        EXPECT_FALSE(p.ok) << c.args[0];
        EXPECT_NE(p.error.find(c.names), std::string::npos) << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos) << p.error;
    }
}

// Runs the built program with `args` and no display; its exit code and outputs.
struct Ran {
    int code = -1;
    std::string out;
    std::string err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// `env`: further VAR=VALUE words for its environment; `out`: where standard
// output goes.
Ran run_program(const std::string &args, const std::string &env = "", const std::string &out = "out.txt") {
    TempDir dir;
    Ran r;
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY ASAN_OPTIONS=detect_leaks=0 " + env +
                          " '" LUMIVEX_PROGRAM "' " + args + " >" + out + " 2>err.txt";
    int status = std::system(command.c_str());
    if (WIFEXITED(status)) r.code = WEXITSTATUS(status);
    r.out = slurp(dir.file("out.txt"));
    r.err = slurp(dir.file("err.txt"));
    return r;
}

// With no display a window cannot open, so exit code 0 shows none was tried.
TEST(ProgramOptions, HelpAndVersionAnswerWithoutAWindow) {
    Ran help = run_program("--help");
    EXPECT_EQ(help.code, 0) << help.err;
    EXPECT_EQ(help.err.find("display"), std::string::npos) << help.err;
    for (const char *part : {"--camera", "--list-cameras", "--size WxH", "--snapshot-dir", "--version", "Esc",
                             "threshold 1", "canny", "readme.txt"})
        EXPECT_NE(help.out.find(part), std::string::npos) << part;
    // Where the reference is: beside the built program.
    EXPECT_NE(help.out.find("src/readme.txt"), std::string::npos) << help.out;

    Ran version = run_program("--version");
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("Lumivex ", 0), 0u) << version.out;
    EXPECT_EQ(version.out.back(), '\n');
}

TEST(ProgramOptions, AnOutputThatCannotBeWrittenIsSaidWithExitCodeOne) {
    for (const char *args : {"--help", "--version"}) {
        Ran r = run_program(args, "", "/dev/full");
        EXPECT_EQ(r.code, 1) << args;
        EXPECT_NE(r.err.find("lumivex: cannot write the output: No space left on device\n"),
                  std::string::npos)
            << args << ": " << r.err;
    }
}

// With a camera present, the cameras are listed only after the options are
// read, and not announced for an option that only informs.
TEST(ProgramOptions, WithACameraInformingOptionsAnswerAloneOnTheirOwnOutput) {
    const std::string camera = "LD_PRELOAD='" LUMIVEX_CAMERA_PRELOAD "' FAKECAM_FORMATS=YUYV";
    Ran help = run_program("--help", camera);
    EXPECT_EQ(help.code, 0);
    EXPECT_EQ(help.out.rfind("Usage: lumivex", 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    Ran list = run_program("--list-cameras", camera);
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, "0\tLumivex Fakecam\t/dev/video0\tYUYV 640x480 at 30 fps\n");
    EXPECT_EQ(list.err, "");
}

TEST(ProgramOptions, MistakesAreOneLineWithAHintAndExitCodeTwo) {
    for (const char *args : {"--frobnicate", "--size 12", "--camera", "--snapshot-dir /no/such/folder",
                             "--camera 'No such camera'"}) {
        Ran r = run_program(args);
        EXPECT_EQ(r.code, 2) << args;
        EXPECT_TRUE(r.out.empty()) << args;
        ASSERT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_EQ(r.err.find("display"), std::string::npos) << r.err;
    }
    EXPECT_NE(run_program("--frobnicate").err.find("'--frobnicate' (see lumivex --help)"), std::string::npos);
    EXPECT_NE(run_program("--size 12").err.find("'12'"), std::string::npos);
}

class CameraChoice : public ::testing::Test {
  protected:
    void SetUp() override {
        dshow_test::use_test_devices();
        add("Front camera", u"Front camera", u"/dev/video0", 320, 240);
        add("Desk camera", u"Desk camera", u"/dev/video2", 160, 120);
        program.camera.camera_create();
    }
    void TearDown() override {
        program.camera.camera_stop();
        dshow_test::reset();
    }
    static void add(const char *, const std::u16string &name, const std::u16string &path, int w, int h) {
        dshow_test::Device d;
        d.friendly_name = name;
        d.device_path = path;
        d.width = w;
        d.height = h;
        dshow_test::add_device(d);
    }
    // apply_options' result and what it wrote to standard error.
    int apply(const std::vector<std::string> &args, std::string *err = nullptr) {
        ::testing::internal::CaptureStderr();
        int code = apply_to(program, args);
        std::string text = ::testing::internal::GetCapturedStderr();
        if (err) *err = text;
        return code;
    }
    Program program;
    Camera &camera = program.camera;
    FrameStore &store = program.store;
};

TEST_F(CameraChoice, ByNumberNameOrDevicePathAndThatCameraIsTheOneStarted) {
    EXPECT_EQ(apply({}), -1);
    EXPECT_EQ(program.request.camera_choice, 0);
    EXPECT_EQ(apply({"--camera", "1"}), -1);
    EXPECT_EQ(program.request.camera_choice, 1);
    EXPECT_EQ(apply({"--camera", "Front camera"}), -1);
    EXPECT_EQ(program.request.camera_choice, 0);
    EXPECT_EQ(apply({"--camera=/dev/video2"}), -1);
    EXPECT_EQ(program.request.camera_choice, 1);

    camera.camera_start(program.request);
    EXPECT_EQ(store.camera_x_size, 160);
    EXPECT_EQ(store.camera_y_size, 120);
    EXPECT_TRUE(camera.vc->playing);
    EXPECT_EQ(camera.vc->current_device, camera.devices + 1);
}

TEST_F(CameraChoice, ASizeIsAskedForAndWhatTheCameraGivesIsUsed) {
    // The second camera takes any size, the first keeps its own.
    dshow_test::reset();
    dshow_test::use_test_devices();
    add("Fixed", u"Fixed", u"/dev/video0", 320, 240);
    dshow_test::Device flexible;
    flexible.friendly_name = u"Flexible";
    flexible.any_size = true;
    dshow_test::add_device(flexible);
    delete camera.vc;
    camera.camera_create();

    EXPECT_EQ(apply({"--camera", "Flexible", "--size", "200x150"}), -1);
    camera.camera_start(program.request);
    EXPECT_EQ(store.camera_x_size, 200);
    EXPECT_EQ(store.camera_y_size, 150);
    EXPECT_EQ(store.camera_buffer_info.bmiHeader.biWidth, 200);
    camera.camera_stop();

    EXPECT_EQ(apply({"--camera", "0", "--size", "200x150"}), -1);
    camera.camera_start(program.request);
    EXPECT_EQ(store.camera_x_size, 320);
    EXPECT_EQ(store.camera_y_size, 240);
}

TEST_F(CameraChoice, AMissingCameraIsOneLineAndExitCodeTwoNotAFallback) {
    for (const char *wanted : {"2", "Back camera", "/dev/video1", "front camera"}) {
        std::string err;
        EXPECT_EQ(apply({"--camera", wanted}, &err), 2) << wanted;
        EXPECT_EQ(err,
                  std::string("lumivex: no camera '") + wanted + "' (lumivex --list-cameras shows them)\n");
        EXPECT_EQ(program.request.camera_choice, 0);
    }
}

TEST_F(CameraChoice, TheListGivesNumberNameDeviceAndWhatItSends) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(apply({"--list-cameras"}), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "0\tFront camera\t/dev/video0\tBGR3 320x240\n1\tDesk camera\t/dev/video2\tBGR3 160x120\n");
}

TEST_F(CameraChoice, NamesBeyondLatin1AndOtherSpellingsOfADevicePathFindTheCamera) {
    TempDir dir;
    std::ofstream(dir.file("video4")) << "";
    ASSERT_EQ(::mkdir(dir.file("by-id").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("../video4", dir.file("by-id/usb-cam").c_str()), 0);
    dshow_test::reset();
    dshow_test::use_test_devices();
    std::u16string folder(dir.path().begin(), dir.path().end());
    add("", u"Kam\u00e9ra \u0141\u00f3d\u017a", folder + u"/video4", 320, 240);
    add("", u"Kam\u00e9ra \u0141\u00f3d\u017a", u"", 320, 240);
    delete camera.vc;
    camera.camera_create();

    EXPECT_EQ(apply({"--camera", "Kam\u00e9ra \u0141\u00f3d\u017a #2"}), -1);
    EXPECT_EQ(program.request.camera_choice, 1);
    for (const std::string &path :
         {dir.file("by-id/usb-cam"), dir.path() + "/./video4", std::string("video4")}) {
        EXPECT_EQ(apply({"--camera", "Kam\u00e9ra \u0141\u00f3d\u017a #2"}), -1);
        EXPECT_EQ(apply({"--camera", path}), -1) << path;
        EXPECT_EQ(program.request.camera_choice, 0) << path;
    }
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(apply({"--list-cameras"}), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "0\tKam\u00e9ra \u0141\u00f3d\u017a\t" +
                                                            dir.file("video4") +
                                                            "\tBGR3 320x240\n1\tKam\u00e9ra \u0141\u00f3d\u017a #2\t-"
                                                            "\tBGR3 320x240\n");
}

TEST(CameraList, SaysWhenThereIsNoCamera) {
    dshow_test::use_test_devices();
    Program program;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(apply_to(program, {"--list-cameras"}), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "lumivex: no camera found\n");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(apply_to(program, {"--camera", "0"}), 2);
    dshow_test::reset();
}

// The files in a folder, by name.
std::vector<std::string> files_in(const std::string &folder) {
    std::vector<std::string> names;
    std::string command = "ls -A '" + folder + "'";
    FILE *p = popen(command.c_str(), "r");
    char line[256];
    while (p && std::fgets(line, sizeof line, p)) {
        std::string name(line);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    if (p) pclose(p);
    return names;
}

TEST(SnapshotFolder, SnapshotsGoThereAndItsAbsolutePathIsAnnounced) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("shots").c_str(), 0755), 0);
    ProgramRun run;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(apply_to(run.program(), {"--snapshot-dir", "shots"}), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "lumivex: snapshots go to " + dir.file("shots") + "\n");

    ASSERT_TRUE(run.start_with_frame(8, 4));
    run.deliver_frame(position_frame(8, 4));
    run.press('R');
    run.press('R');
    EXPECT_STREQ(run.program().log.status_line(1), "Save to: 1.bmp");
    EXPECT_STREQ(run.program().log.status_line(2), "Save to: 2.bmp");
    EXPECT_EQ(read_file(dir.file("shots/1.bmp")).size(), 54u + 4 * 24);
    EXPECT_EQ(files_in(dir.file("shots")), (std::vector<std::string>{"1.bmp", "2.bmp"}));
    EXPECT_EQ(files_in(dir.path()), std::vector<std::string>{"shots"});
    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

TEST(SnapshotFolder, AMissingFileOrReadOnlyFolderIsOneLineAndExitCodeTwo) {
    TempDir dir;
    { std::ofstream(dir.file("plain")) << "x"; }
    ASSERT_EQ(::mkdir(dir.file("locked").c_str(), 0555), 0);
    struct Case {
        std::string folder;
        std::string line;
    } cases[] = {
        {"missing", "lumivex: snapshot folder 'missing' does not exist\n"},
        {"plain", "lumivex: snapshot folder 'plain' is not a folder\n"},
        {"locked", "lumivex: snapshot folder 'locked' is not writable: Permission denied\n"},
        {std::string(5000, 'd'),
         "lumivex: snapshot folder '" + std::string(5000, 'd') + "' cannot be used: File name too long\n"},
    };
    for (const Case &c : cases) {
        if (c.folder == "locked" && ::geteuid() == 0) continue;  // root writes anywhere
        ::testing::internal::CaptureStderr();
        Program program;
        EXPECT_EQ(apply_to(program, {"--snapshot-dir", c.folder}), 2);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(program.snapshots.snapshot_folder, "");
    }
    EXPECT_EQ(files_in(dir.path()), (std::vector<std::string>{"locked", "plain"}));
}

TEST(SnapshotFolder, AFolderThatGoesAwayGivesTheSystemsReasonAndWritesNothingElsewhere) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("shots").c_str(), 0755), 0);
    ProgramRun run;
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(apply_to(run.program(), {"--snapshot-dir=" + dir.file("shots")}), -1);
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(::rmdir(dir.file("shots").c_str()), 0);

    ASSERT_TRUE(run.start_with_frame(8, 4));
    run.deliver_frame(position_frame(8, 4));
    ::testing::internal::CaptureStderr();
    run.press('R');
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_STREQ(run.program().log.status_line(1), "Save to: 1.bmp");
    EXPECT_STREQ(run.program().log.status_line(2), "Unable to save 1.bmp");
    EXPECT_EQ(err, "lumivex: cannot write " + dir.file("shots/1.bmp") + ": No such file or directory\n");
    EXPECT_TRUE(files_in(dir.path()).empty());
    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

TEST(SnapshotFolder, WithoutTheOptionFilesAreNamedAsAlwaysAndFailuresStayOffStandardError) {
    TempDir dir;
    ProgramRun run;
    EXPECT_EQ(run.program().snapshots.snapshot_path(3), "3.bmp");
    ASSERT_TRUE(run.start_with_frame(8, 4));
    run.deliver_frame(position_frame(8, 4));
    ASSERT_EQ(::mkdir(dir.file("2.bmp").c_str(), 0755), 0);  // no file can replace a folder
    ::testing::internal::CaptureStderr();
    run.press('R');
    run.press('R');
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_STREQ(run.program().log.status_line(3), "Unable to save 2.bmp");
    EXPECT_TRUE(file_exists(dir.file("1.bmp")));
    headless_press(run.hwnd(), VK_ESCAPE);
    EXPECT_EQ(run.finish(), 0);
}

}  // namespace
