// A camera that is not all right: failures told in words, a camera lost
// while streaming giving way to the test pattern, and coming back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "capture/camera_rig.h"
#include "capture/pattern.h"
#include "support/dshow_test.h"

namespace {

class CameraTrouble : public ::testing::Test {
  protected:
    void SetUp() override { dshow_test::use_test_devices(); }
    void TearDown() override {
        rig.release();
        dshow_test::reset();
    }
    // Lists the test devices in a new capture object and starts the camera.
    void start() {
        std::string listed = rig.rebuild();
        ::testing::internal::CaptureStderr();
        camera.camera_start(CameraRequest());
        stderr_text = listed + ::testing::internal::GetCapturedStderr();
    }
    // Calls camera_watch (as the window's timer does) until a status line
    // is `text`, for up to 5 seconds.
    bool watch_until(const std::string &text) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!rig.has_line(text)) {
            if (std::chrono::steady_clock::now() > until) return false;
            camera.camera_watch();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    static int no_picture_lines(const std::string &text) {
        int count = 0;
        for (size_t at = text.find(": no picture"); at != std::string::npos;
             at = text.find(": no picture", at + 1))
            ++count;
        return count;
    }

    test_support::CameraRig rig;
    Camera &camera = rig.camera;
    std::string stderr_text;
};

struct Failure {
    HRESULT render;
    HRESULT run;
    const char *line;
};

TEST_F(CameraTrouble, KnownFailuresAreToldInWordsOthersByTheirCode) {
    const Failure cases[] = {
        {E_ACCESSDENIED, S_OK, "Camera Test camera: permission denied"},
        {HRESULT_FROM_WIN32(ERROR_BUSY), S_OK, "Camera Test camera: in use elsewhere"},
        {S_OK, HRESULT_FROM_WIN32(ERROR_BUSY), "Camera Test camera: in use elsewhere"},
        {VFW_E_NO_ACCEPTABLE_TYPES, S_OK, "Camera Test camera: no usable format"},
        {E_FAIL, S_OK, "Camera error 0x80004005: showing test pattern"},
        {S_OK, E_INVALIDARG, "Camera error 0x80070057: showing test pattern"},
    };
    for (const Failure &f : cases) {
        SCOPED_TRACE(f.line);
        dshow_test::reset();
        dshow_test::use_test_devices();
        rig.log.clear_text_area();
        dshow_test::Device d;
        d.render_result = f.render;
        d.run_result = f.run;
        dshow_test::add_device(d);
        start();
        EXPECT_TRUE(rig.has_line(f.line));
        EXPECT_TRUE(pattern_running());
        bool worded = std::string(f.line).rfind("Camera error", 0) != 0;
        EXPECT_EQ(stderr_text.find(f.line) != std::string::npos, worded) << stderr_text;
        camera.camera_stop();
    }
}

TEST_F(CameraTrouble, PermissionDeniedGivesAHintAndLongNamesAreShortened) {
    dshow_test::Device d;
    d.friendly_name = std::u16string(100, u'N');
    d.render_result = E_ACCESSDENIED;
    dshow_test::add_device(d);
    start();
    std::string shown;
    for (int i = 0; i < 5; ++i) {
        if (rig.line(i).rfind("Camera N", 0) == 0) shown = rig.line(i);
    }
    // The strip takes the start of the name; standard error more of it.
    EXPECT_EQ(shown, "Camera " + std::string(20, 'N') + ": permission denied");
    EXPECT_NE(stderr_text.find(std::string(60, 'N') + ": permission denied: showing test pattern"),
              std::string::npos)
        << stderr_text;
    EXPECT_NE(stderr_text.find("'video' group"), std::string::npos) << stderr_text;
}

TEST_F(CameraTrouble, ALostCameraGivesWayToThePatternAndIsConnectedAgain) {
    // The first stream ends after a few frames, as on unplugging; the
    // device is listed again afterwards and streams on.
    auto streams = std::make_shared<std::atomic<int>>(0);
    dshow_test::Device d;
    d.width = 320;
    d.height = 240;
    d.produce = [streams](dshow_test::Sample &s) {
        if (s.index == 0) ++*streams;
        return !(*streams == 1 && s.index >= 3);
    };
    dshow_test::add_device(d);
    start();
    ASSERT_TRUE(watch_until("Camera Test camera: lost"));
    EXPECT_TRUE(pattern_running());
    // The pattern keeps the camera's size and buffers.
    EXPECT_EQ(rig.store.camera_x_size, 320);
    EXPECT_EQ(rig.store.camera_y_size, 240);
    int before = rig.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(rig.frames, before) << "the pattern delivers frames";

    // Looking for the camera again does not list the devices on the console
    // again: they were shown once, at the start.
    ::testing::internal::CaptureStderr();
    bool reconnected = watch_until("Camera Test camera: reconnected");
    std::string looked = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(reconnected);
    EXPECT_EQ(looked.find("fname:"), std::string::npos) << looked;
    EXPECT_NE(stderr_text.find("fname: Test camera"), std::string::npos);
    EXPECT_FALSE(pattern_running());
    EXPECT_EQ(*streams, 2);
    EXPECT_EQ(dshow_test::open_streams(), 1) << "the lost camera's graph is let go";
    before = rig.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(rig.frames, before) << "the camera delivers frames again";
    // Stopping after a reconnection stops the new graph.
    camera.camera_stop();
    EXPECT_FALSE(pattern_running());
    before = rig.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(rig.frames, before);
}

TEST_F(CameraTrouble, ASilentCameraIsReportedOrTakenAsLostWhenNoLongerListed) {
    // Streams, but every sample is unusable: nothing reaches the intake.
    dshow_test::Device d;
    d.interval_ms = 20;
    d.produce = [](dshow_test::Sample &s) {
        s.pointer_result = E_FAIL;
        return true;
    };
    dshow_test::add_device(d);
    start();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(watch_until("Camera Test camera: no picture"));
    // Told once for the silence, however many ticks of the watch follow.
    for (int tick = 0; tick < 10; ++tick) camera.camera_watch();
    EXPECT_EQ(no_picture_lines(::testing::internal::GetCapturedStderr()), 1);
    EXPECT_FALSE(pattern_running()) << "a listed camera is kept";

    // Gone from the list while silent: lost, and the pattern takes over.
    camera.camera_stop();
    rig.log.clear_text_area();
    start();
    dshow_test::reset();
    dshow_test::use_test_devices();
    EXPECT_TRUE(watch_until("Camera Test camera: lost"));
    EXPECT_TRUE(pattern_running());
}

TEST_F(CameraTrouble, ASlowCameraIsNotToldSilentBetweenItsFrames) {
    // A frame every 2.4 s: the waits between its frames are its pace, not
    // silences.
    dshow_test::Device d;
    d.interval_ms = 2400;
    dshow_test::add_device(d);
    start();
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(rig.wait_for_frames(1));
    const int until = rig.frames + 2;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (rig.frames < until && std::chrono::steady_clock::now() < end) {
        camera.camera_watch();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(rig.frames, until);
    EXPECT_LE(no_picture_lines(::testing::internal::GetCapturedStderr()), 1);
}

TEST_F(CameraTrouble, AGraphWithoutStreamControlStillStreams) {
    dshow_test::Device d;
    d.control_result = E_NOTIMPL;
    dshow_test::add_device(d);
    start();
    EXPECT_FALSE(pattern_running());
    int before = rig.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(rig.frames, before);
}

}  // namespace
