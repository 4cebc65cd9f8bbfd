// The program object: owns every piece of the program's state and wires the
// camera to the pipeline and the pipeline to the display. One exists while
// WinMain (or a test) runs the program.
#pragma once

#include <atomic>

#include "capture/camera.h"
#include "common/status_log.h"
#include "display/display.h"
#include "pipeline/bitmap.h"
#include "pipeline/process.h"
#include "platform/win32.h"

class Program final : public FrameSink {
  public:
    Program();
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    StatusLog log;
    FrameStore store;
    FilterSettings settings;
    Display screen;
    Snapshots snapshots;
    CameraRequest request;
    Camera camera;

    HWND system_hwnd = nullptr;  // the window, as its creation reported it
    target_window window;        // main_win and its device context main_dc
    std::atomic<int> frames{0};  // frames drawn since the last timer tick
    std::atomic<int> fps{0};     // frames in the last whole second
    bool keys[256] = {};         // keys down, by the low 8 bits of the virtual-key code

    // Runs the pipeline over the camera buffer, counts the frame and draws
    // it (neither when the shutdown cut the frame short). On the delivery
    // thread, with the frame lock held.
    void frame_ready() override;
    // Draws the current frame (or just the strip); the caller holds the frame lock.
    void draw();

    // system_shutdown has begun: it runs once.
    std::atomic<bool> shut_down{false};
};
