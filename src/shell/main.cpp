#include "shell/main.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pipeline/frame_lock.h"
#include "shell/input.h"
#include "shell/options.h"
#include "shell/utility.h"
#include "shell/window.h"

namespace {

const unsigned int fps_timer = 2;
const unsigned int fps_period_ms = 1000;
// How often the camera is checked for having been lost or being back.
const unsigned int camera_timer = 3;
const unsigned int camera_period_ms = 250;
const UINT shutdown_request = WM_APP + 1;

// The program the window procedure serves: it is called by the system with
// no context of its own.
std::atomic<Program *> running_program{nullptr};

// The console handler's side of a shutdown. It runs on a thread of its own
// and may still be waiting when the program object is gone, so what it
// touches lives as long as the process: the window to ask, and whether the
// shutdown has finished.
struct ConsoleShutdown {
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> begun{false};
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};
ConsoleShutdown &console_shutdown() {
    static ConsoleShutdown *state = new ConsoleShutdown;  // never destroyed: a handler may wait on it
    return *state;
}

void start_camera(Program &program) { program.camera.camera_start(program.request); }

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    Program program;
    return program_main(program, instance, show_command);
}

int program_main(Program &program, HINSTANCE instance, int show_command) {
    // --help, --version, --list-cameras and mistakes end here, before any window.
    int code =
        apply_options(command_line(), program.camera, program.request, program.snapshots, announce_device);
    if (code >= 0) return code;
    if (!program.camera.camera_created()) program.camera.camera_create(announce_device);
    return program_main(program, instance, show_command, start_camera);
}

int program_main(Program &program, HINSTANCE instance, int show_command, void (*start)(Program &)) {
    running_program = &program;
    program.log.clear_text_area();
    int code = 1;
    if (setup_window(program, instance, show_command) == 0) {
        system_startup(program, start);
        code = message_loop();
    }
    // A console event that comes now finds no program to shut down.
    running_program = nullptr;
    return code;
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

void system_startup(Program &program, void (*start)(Program &)) {
    program.log.add_line("Look at readme.txt for usage");
    start(program);
    SetTimer(program.system_hwnd, fps_timer, fps_period_ms, nullptr);
    SetTimer(program.system_hwnd, camera_timer, camera_period_ms, nullptr);
}

void system_shutdown(Program &program) {
    // Escape and then the destroy message can both come here; stop once.
    if (program.shut_down.exchange(true)) return;
    // The frame in hand stops early, so the camera's stop below does not
    // wait for its whole chain.
    program.store.stopping = true;
    console_shutdown().begun = true;
    destroy_window(program);
    // Not under the frame lock: stopping waits for the delivery thread, which may be waiting for it.
    program.camera.camera_stop();
    PostQuitMessage(0);
    ConsoleShutdown &console = console_shutdown();
    std::lock_guard<std::mutex> lock(console.mutex);
    console.done = true;
    console.finished.notify_all();
}

BOOL WINAPI console_control(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    ConsoleShutdown &console = console_shutdown();
    // Runs on a thread of its own: the shutdown itself is the window thread's.
    std::unique_lock<std::mutex> lock(console.mutex);
    if (!console.begun) {
        HWND hwnd = console.window;
        if (!hwnd || !PostMessageA(hwnd, shutdown_request, 0, 0)) return FALSE;
    }
    // Returning lets a closing console end the process: not before the camera has stopped.
    console.finished.wait_for(lock, std::chrono::seconds(4), [&console] { return console.done; });
    return TRUE;
}

void timer_message(Program &program, unsigned int id) {
    if (id == camera_timer && !program.shut_down) program.camera.camera_watch();
    if (id != fps_timer) return;
    // One atomic step, so a frame counted meanwhile is neither lost nor counted twice.
    program.fps = program.frames.exchange(0);
}

LRESULT CALLBACK WinProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    Program *program = running_program;
    if (!program) return DefWindowProcA(hwnd, message, wparam, lparam);
    switch (message) {
        case WM_CREATE: {
            program->system_hwnd = hwnd;
            ConsoleShutdown &console = console_shutdown();
            std::lock_guard<std::mutex> lock(console.mutex);
            console.window = hwnd;
            console.begun = false;
            console.done = false;
            return 0;
        }
        case WM_DESTROY:
            system_shutdown(*program);
            return 0;
        case WM_SIZE: {
            FrameLock lock(program->store);
            program->screen.display_resize(program->window, program->log, LOWORD(lparam), HIWORD(lparam));
            return 0;
        }
        case WM_PAINT: {
            FrameLock lock(program->store);
            program->draw();
            return 0;
        }
        case WM_KEYDOWN:
            key_down(*program, static_cast<unsigned int>(wparam));
            return 0;
        case WM_KEYUP:
            key_up(*program, static_cast<unsigned int>(wparam));
            return 0;
        case WM_TIMER:
            timer_message(*program, static_cast<unsigned int>(wparam));
            return 0;
        case shutdown_request:
            system_shutdown(*program);
            return 0;
        default:
            return DefWindowProcA(hwnd, message, wparam, lparam);
    }
}
