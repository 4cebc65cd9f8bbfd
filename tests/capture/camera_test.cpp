// The camera intake: start and stop, the copy of each frame, and the test
// pattern that stands in when no camera can be connected.
#include "capture/camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera_rig.h"
#include "capture/capture.h"
#include "capture/pattern.h"
#include "common/buffer.h"
#include "support/dshow_test.h"
#include "support/new_limit.h"

namespace {

size_t stride_of(int width) { return (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3); }

// Byte i of DIB row r of a test frame; the row padding holds 0xEE.
unsigned char test_byte(int r, size_t i) { return static_cast<unsigned char>(r * 7 + i * 3); }

dshow_test::Device test_device(int width, int height) {
    dshow_test::Device d;
    d.friendly_name = u"Test camera";
    d.width = width;
    d.height = height;
    d.produce = [](dshow_test::Sample &s) {
        size_t row = static_cast<size_t>(s.width) * 3;
        size_t stride = stride_of(s.width);
        for (int r = 0; r < s.height; ++r) {
            for (size_t i = 0; i < stride; ++i) s.data[stride * r + i] = i < row ? test_byte(r, i) : 0xEE;
        }
        return true;
    };
    return d;
}

std::vector<size_t> allocations;
bool record_allocation(size_t bytes) {
    allocations.push_back(bytes);
    return false;
}
int failures_left = 0;  // allocations still to fail
bool fail_first_allocation(size_t) {
    if (failures_left == 0) return false;
    --failures_left;
    return true;
}

class CameraIntake : public ::testing::Test {
  protected:
    void SetUp() override { dshow_test::use_test_devices(); }
    void TearDown() override {
        rig.release();
        buffer_alloc_should_fail = nullptr;
        dshow_test::reset();
    }
    // The capture object is rebuilt to see the test devices.
    void rebuild() { rig.rebuild(); }
    void start() { camera.camera_start(CameraRequest()); }

    test_support::CameraRig rig;
    Camera &camera = rig.camera;
    FrameStore &store = rig.store;
};

TEST_F(CameraIntake, NoCameraShowsTheMovingTestPatternUntilStopped) {
    rebuild();
    ASSERT_NE(camera.vc, nullptr);
    start();
    EXPECT_EQ(rig.line(0), "No camera found: showing test pattern");
    EXPECT_EQ(store.camera_x_size, 640);
    EXPECT_EQ(store.camera_y_size, 480);
    EXPECT_EQ(store.camera_buffer_info.bmiHeader.biSizeImage, 921600u);
    EXPECT_EQ(store.camera_buffer_info.bmiHeader.biHeight, 480);
    EXPECT_TRUE(pattern_running());
    ASSERT_TRUE(rig.wait_for_frames(2));
    {
        // The pattern's frames went through frame_callback into camera_buffer.
        std::lock_guard<std::mutex> lock(store.frame_lock);
        std::vector<unsigned char> expected(stride_of(640) * 480);
        pattern_draw(expected.data(), 640, 480, 0);
        const unsigned char *got = reinterpret_cast<const unsigned char *>(store.camera_buffer);
        // The colour bars at the top do not move.
        size_t top_row = static_cast<size_t>(479) * 640 * 3;
        EXPECT_EQ(std::memcmp(got + top_row, &expected[top_row], 640 * 3), 0);
    }
    camera.camera_stop();
    EXPECT_FALSE(pattern_running());
    EXPECT_TRUE(rig.all_buffers_released());
    int after = rig.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ(rig.frames, after);
    camera.camera_stop();
    EXPECT_TRUE(rig.all_buffers_released());
}

// The codes have letters in their hex, so the case of the line shows.
TEST_F(CameraIntake, AGraphThatCannotBeBuiltIsReportedAndAnsweredByThePattern) {
    dshow_test::fail_create(CLSID_FilterGraph, E_UNEXPECTED);
    rebuild();
    EXPECT_EQ(camera.vc, nullptr);
    EXPECT_EQ(camera.devices, nullptr);
    start();
    EXPECT_EQ(rig.line(0), "Camera error 0x8000FFFF: showing test pattern");
    EXPECT_TRUE(rig.wait_for_frames(1));
}

// A camera that is there but fails to connect, even with the code that
// Select gives when there is no camera at all, is that camera's failure.
TEST_F(CameraIntake, APresentCameraThatFailsToConnectIsNeverReportedAsNoCamera) {
    struct Case {
        HRESULT render, control;
        const char *line;
    };
    const Case cases[] = {
        {E_INVALIDARG, S_OK, "Camera error 0x80070057: showing test pattern"},
        {S_OK, E_INVALIDARG, "Camera error 0x80070057: showing test pattern"},
        {E_UNEXPECTED, S_OK, "Camera error 0x8000FFFF: showing test pattern"},
    };
    for (int i = 0; i < 3; ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(i);
        dshow_test::reset();
        dshow_test::use_test_devices();
        dshow_test::Device d = test_device(320, 240);
        d.render_result = c.render;
        d.control_result = c.control;
        dshow_test::add_device(d);
        rebuild();
        ASSERT_EQ(camera.vc->NumDevices(), 1);
        start();
        EXPECT_EQ(rig.line(i), c.line);
        EXPECT_TRUE(pattern_running());
        EXPECT_EQ(store.camera_x_size, 640) << "the pattern's size";
        camera.camera_stop();
    }
}

TEST_F(CameraIntake, ACameraThatCannotBeConnectedIsReportedAndAnsweredByThePattern) {
    dshow_test::Device d = test_device(320, 240);
    d.render_result = VFW_E_CANNOT_CONNECT;
    dshow_test::add_device(d);
    rebuild();
    start();
    EXPECT_EQ(rig.line(0), "Camera error 0x80040217: showing test pattern");
    EXPECT_EQ(store.camera_x_size, 640);
    EXPECT_TRUE(rig.wait_for_frames(1));
}

TEST_F(CameraIntake, ACameraWithoutStreamControlIsUsed) {
    dshow_test::Device d = test_device(320, 240);
    d.control_result = E_FAIL;
    dshow_test::add_device(d);
    rebuild();
    start();
    EXPECT_EQ(rig.line(0), "");
    EXPECT_FALSE(pattern_running());
    EXPECT_EQ(store.camera_x_size, 320);
    EXPECT_TRUE(rig.wait_for_frames(2));
}

TEST_F(CameraIntake, ATopDownCameraIsLetGoAndTheLineSaysSo) {
    dshow_test::add_device(test_device(320, -240));
    rebuild();
    start();
    EXPECT_EQ(rig.line(0), "Camera sends top-down frames: showing test pattern");
    EXPECT_EQ(dshow_test::open_streams(), 0) << "the device is closed";
    EXPECT_EQ(camera.vc->current_device, nullptr);
    EXPECT_EQ(store.camera_y_size, 480);
    EXPECT_TRUE(pattern_running());
    EXPECT_TRUE(rig.wait_for_frames(1));
}

TEST_F(CameraIntake, ACameraThatCannotStartLeavesThePatternAtItsSize) {
    dshow_test::Device d = test_device(320, 240);
    d.run_result = E_UNEXPECTED;
    dshow_test::add_device(d);
    rebuild();
    start();
    EXPECT_EQ(rig.line(0), "Camera error 0x8000FFFF: showing test pattern");
    EXPECT_EQ(store.camera_x_size, 320);
    EXPECT_EQ(store.camera_y_size, 240);
    EXPECT_TRUE(pattern_running());
    EXPECT_TRUE(rig.wait_for_frames(1));
}

TEST_F(CameraIntake, TheFirstCameraIsStartedAfterEveryBufferIsMade) {
    dshow_test::add_device(test_device(640, 480));
    rebuild();
    allocations.clear();
    buffer_alloc_should_fail = record_allocation;
    start();
    buffer_alloc_should_fail = nullptr;
    EXPECT_EQ(rig.line(0), "");
    EXPECT_FALSE(pattern_running());
    EXPECT_TRUE(camera.vc->playing);
    EXPECT_EQ(store.frames.size_x, 640u);
    EXPECT_EQ(store.frames.size_y, 480u);
    // The camera buffer, then the pipeline's three, then the filters' own,
    // which are sized from the geometry the pipeline published.
    ASSERT_GE(allocations.size(), 7u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(allocations[i], 921600u) << i;
    for (size_t i = 4; i < allocations.size(); ++i) EXPECT_GE(allocations[i], 640u * 480u) << i;
    EXPECT_NE(store.frames.grad_mag, nullptr);
    EXPECT_NE(store.frames.image_state, nullptr);

    ASSERT_TRUE(rig.wait_for_frames(2));
    {
        std::lock_guard<std::mutex> lock(store.frame_lock);
        const unsigned char *got = reinterpret_cast<const unsigned char *>(store.camera_buffer);
        for (int r = 0; r < 480; r += 97) {
            for (size_t i = 0; i < 640 * 3; i += 131)
                ASSERT_EQ(got[r * 1920 + i], test_byte(r, i)) << r << "," << i;
        }
    }
    camera.camera_stop();
    EXPECT_FALSE(camera.vc->playing);
    EXPECT_TRUE(rig.all_buffers_released());
    int after = rig.frames;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rig.frames, after);
}

TEST_F(CameraIntake, AnOddWidthIsTakenRowByRowWithoutThePadding) {
    dshow_test::add_device(test_device(322, 240));
    rebuild();
    start();
    EXPECT_EQ(store.camera_x_size, 322);
    ASSERT_TRUE(rig.wait_for_frames(1));
    std::lock_guard<std::mutex> lock(store.frame_lock);
    const unsigned char *got = reinterpret_cast<const unsigned char *>(store.camera_buffer);
    const size_t row = 322 * 3;
    std::vector<unsigned char> expected(row * 240);
    for (int r = 0; r < 240; ++r) {
        for (size_t i = 0; i < row; ++i) expected[row * r + i] = test_byte(r, i);
    }
    EXPECT_EQ(std::memcmp(got, expected.data(), expected.size()), 0);
}

TEST_F(CameraIntake, ShortAndNon24BitSamplesAreIgnored) {
    dshow_test::Device d = test_device(64, 48);
    d.produce = [](dshow_test::Sample &s) {
        s.data.assign(s.data.size(), static_cast<unsigned char>(0x10 + s.index));
        switch (s.index) {
            case 0:
                s.length = static_cast<LONG>(s.data.size()) - 1;  // one byte short
                break;
            case 1:
                s.type_result = S_OK;
                s.subtype = MEDIASUBTYPE_RGB32;
                break;
            case 2:
                break;  // still 32 bits
            case 3:
                s.type_result = S_OK;
                s.subtype = MEDIASUBTYPE_RGB24;
                break;
            default:
                return false;  // the camera goes away
        }
        return true;
    };
    dshow_test::add_device(d);
    rebuild();
    start();
    ASSERT_TRUE(rig.wait_for_frames(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.frames, 1);
    std::lock_guard<std::mutex> lock(store.frame_lock);
    EXPECT_EQ(reinterpret_cast<const unsigned char *>(store.camera_buffer)[0], 0x13);
}

TEST_F(CameraIntake, ACameraBufferThatCannotBeMadeLeavesTheRestRunning) {
    dshow_test::add_device(test_device(64, 48));
    rebuild();
    failures_left = 1;
    buffer_alloc_should_fail = fail_first_allocation;
    start();
    buffer_alloc_should_fail = nullptr;
    EXPECT_EQ(rig.line(0), "Unable to create camera buffer");
    EXPECT_EQ(store.camera_buffer, nullptr);
    EXPECT_NE(store.temp_frame, nullptr);
    EXPECT_TRUE(camera.vc->playing);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rig.frames, 0);
    camera.camera_stop();
    camera.camera_stop();
    EXPECT_TRUE(rig.all_buffers_released());
    EXPECT_FALSE(camera.vc->playing);
}

}  // namespace

// A camera whose frames do not fit in memory: each buffer that cannot be
// made and the capture stream that cannot start are status lines, and the
// program runs on.
TEST_F(CameraIntake, ACameraTooBigForMemoryIsAStatusLineNotAnAbort) {
    dshow_test::add_device(test_device(16384, 16384));
    rebuild();
    test_support::NewLimit limit(size_t(64) << 20);
    buffer_alloc_should_fail = [](size_t bytes) { return bytes > (size_t(64) << 20); };
    start();
    buffer_alloc_should_fail = nullptr;
    std::vector<std::string> lines = test_support::lines_of(rig.log);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Unable to create image_state buffer"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Camera error 0x8007000E: showing test pattern"),
              lines.end());
    EXPECT_FALSE(camera.vc->playing);
    EXPECT_EQ(dshow_test::open_streams(), 1);  // connected, never started
    camera.camera_stop();
    EXPECT_TRUE(rig.all_buffers_released());
}
