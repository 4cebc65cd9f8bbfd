// A camera on its own, wired as the program wires it but with no window: a
// frame store, a status log and a sink that runs the pipeline over each
// frame and counts it. Also the checks of the status lines and buffers that
// tests of the camera share.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera.h"
#include "capture/capture.h"
#include "common/status_log.h"
#include "pipeline/process.h"
#include "shell/utility.h"

namespace test_support {

// The five status lines, copied under the log's lock (another thread may add one).
inline std::vector<std::string> lines_of(const StatusLog &log) {
    char lines[StatusLog::line_count][StatusLog::line_size];
    log.copy_lines(lines);
    return std::vector<std::string>(lines, lines + StatusLog::line_count);
}

inline bool has_line(const StatusLog &log, const std::string &text) {
    for (const std::string &line : lines_of(log)) {
        if (line == text) return true;
    }
    return false;
}

// Whether every frame-sized buffer of `store` is gone.
inline bool all_buffers_released(const FrameStore &store) {
    const frame_set &f = store.frames;
    return !store.camera_buffer && !f.last_frame && !store.temp_frame && !f.save_frame && !f.grad_mag &&
           !f.grad_ratio && !f.image_state;
}

class CameraRig final : public FrameSink {
  public:
    CameraRig() = default;
    CameraRig(const CameraRig &) = delete;
    CameraRig &operator=(const CameraRig &) = delete;
    ~CameraRig() { release(); }

    // Stops the camera and lets go of the capture object.
    void release() {
        camera.camera_stop();
        delete camera.vc;
        camera.vc = nullptr;
        camera.devices = nullptr;
    }

    // On the delivery thread, with the frame lock held.
    void frame_ready() override {
        process_frame(store, settings);
        ++frames;
    }

    // Builds the capture object again (so that it lists the devices there
    // are now), returning what it printed on the console.
    std::string rebuild() {
        delete camera.vc;
        camera.vc = nullptr;
        ::testing::internal::CaptureStderr();
        camera.camera_create(announce_device);
        return ::testing::internal::GetCapturedStderr();
    }
    // Waits (up to 10 s) until `n` frames have been handed on.
    bool wait_for_frames(int n) const {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (frames < n) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    bool all_buffers_released() const { return test_support::all_buffers_released(store); }
    // The camera buffer's frame (rows of blue, green, red, bottom row first),
    // copied under the frame lock; empty without one.
    std::vector<unsigned char> frame() {
        std::lock_guard<std::mutex> lock(store.frame_lock);
        if (!store.camera_buffer) return {};
        const auto *data = reinterpret_cast<const unsigned char *>(store.camera_buffer);
        return {data, data + static_cast<size_t>(store.camera_x_size) *
                                 static_cast<size_t>(store.camera_y_size) * 3};
    }
    std::string line(int i) const { return lines_of(log)[static_cast<size_t>(i)]; }
    bool has_line(const std::string &text) const { return test_support::has_line(log, text); }

    FrameStore store;
    StatusLog log;
    FilterSettings settings;     // every filter off
    std::atomic<int> frames{0};  // frames handed to the sink
    Camera camera{store, log, *this};
};

}  // namespace test_support
