#include "shell/main.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "capture/camera.h"
#include "display/display.h"
#include "pipeline/process.h"
#include "shell/input.h"
#include "shell/options.h"
#include "shell/window.h"

HWND system_hwnd = nullptr;
std::atomic<int> frames{0};
std::atomic<int> fps{0};

namespace {

const unsigned int fps_timer = 2;
const unsigned int fps_period_ms = 1000;
// How often the camera is checked for having been lost or being back.
const unsigned int camera_timer = 3;
const unsigned int camera_period_ms = 250;

std::atomic<bool> shut_down{false};

// The window a console event asks to shut down, set when it is created.
std::atomic<HWND> shutdown_window{nullptr};
const UINT shutdown_request = WM_APP + 1;
// system_shutdown has finished, for console_control to wait on.
std::mutex shutdown_mutex;
std::condition_variable shutdown_finished;
bool shutdown_done = false;

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    // --help, --version, --list-cameras and mistakes end here, before any window.
    int code = apply_options(command_line());
    if (code >= 0) return code;
    // Unless the options needed them already, the cameras are listed now,
    // each with its "fname:" line on the debug console.
    if (!vc) camera_create();
    return program_main(instance, show_command, camera_start);
}

int program_main(HINSTANCE instance, int show_command, void (*start_camera)()) {
    clear_text_area();
    if (setup_window(instance, show_command) != 0) return 1;
    system_startup(start_camera);
    return message_loop();
}

int message_loop() {
    MSG msg{};
    // Only the quit message (0) ends the loop; an error (-1) is passed over.
    while (GetMessageA(&msg, nullptr, 0, 0) != 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void system_startup() { system_startup(camera_start); }

void system_startup(void (*start_camera)()) {
    add_line("Look at readme.txt for usage");
    start_camera();
    SetTimer(system_hwnd, fps_timer, fps_period_ms, nullptr);
    SetTimer(system_hwnd, camera_timer, camera_period_ms, nullptr);
}

void system_shutdown() {
    // Escape and then the destroy message can both come here; stop once.
    if (shut_down.exchange(true)) return;
    destroy_window();
    // Not under frame_lock: stopping waits for the delivery thread, which may be waiting for it.
    camera_stop();
    PostQuitMessage(0);
    std::lock_guard<std::mutex> lock(shutdown_mutex);
    shutdown_done = true;
    shutdown_finished.notify_all();
}

BOOL WINAPI console_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    // Runs on a thread of its own: the shutdown itself is the window thread's.
    if (!shut_down) {
        HWND hwnd = shutdown_window;
        if (!hwnd || !PostMessageA(hwnd, shutdown_request, 0, 0)) return FALSE;
    }
    // Returning lets a closing console end the process: not before the camera has stopped.
    std::unique_lock<std::mutex> lock(shutdown_mutex);
    shutdown_finished.wait_for(lock, std::chrono::seconds(4), [] { return shutdown_done; });
    return TRUE;
}

void timer_message(unsigned int id) {
    if (id == camera_timer && !shut_down) camera_watch();
    if (id != fps_timer) return;
    // One atomic step, so a frame counted meanwhile is neither lost nor counted twice.
    fps = frames.exchange(0);
}

void frame_ready() {
    std::lock_guard<std::recursive_mutex> lock(frame_lock);
    process_frame();
    ++frames;
    display();
}

LRESULT CALLBACK WinProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            system_hwnd = hwnd;
            shutdown_window = hwnd;
            return 0;
        case WM_DESTROY:
            system_shutdown();
            return 0;
        case WM_SIZE:
            display_resize(LOWORD(lparam), HIWORD(lparam));
            return 0;
        case WM_PAINT:
            display();
            return 0;
        case WM_KEYDOWN:
            key_down(static_cast<unsigned int>(wparam));
            return 0;
        case WM_KEYUP:
            key_up(static_cast<unsigned int>(wparam));
            return 0;
        case WM_TIMER:
            timer_message(static_cast<unsigned int>(wparam));
            return 0;
        case shutdown_request:
            system_shutdown();
            return 0;
        default:
            return DefWindowProcA(hwnd, message, wparam, lparam);
    }
}
