// The headless presenting backend: windows without a display, for tests.
// Its clock is simulated: it starts at 0 and moves only with
// headless_advance_clock, so timers fire exactly when a test says so.
// Tests inject what a user would do (keys, resizing, the close button),
// wait for the window thread to finish handling it, and read the pixels
// drawn into a device context.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

// Waits until a live window with this caption exists and its thread is
// idle (blocked in GetMessageA with nothing left to deliver). Null on timeout.
HWND headless_wait_window(const char *caption, int timeout_ms = 30000);
// Waits until the window's thread is idle. False on timeout (for instance
// when that thread has left its message loop).
bool headless_wait_idle(HWND hwnd, int timeout_ms = 30000);

// A key going down (repeat: an auto-repeat of a held key) or up, by
// virtual-key code, as the keyboard would deliver it.
void headless_key(HWND hwnd, unsigned int vk, bool down, bool repeat = false);
// Key down then up.
void headless_press(HWND hwnd, unsigned int vk);
// The user resized the client area (0 x 0: minimised).
void headless_resize(HWND hwnd, int width, int height);
// The user pressed the window's close button.
void headless_close(HWND hwnd);
// The user pressed Ctrl+C (CTRL_C_EVENT) or Ctrl+Break in the console, or
// closed it (CTRL_CLOSE_EVENT): the console handlers run, and the process
// may end, as SetConsoleCtrlHandler says. Returns at once.
void headless_console_event(DWORD event);

// Moves the simulated clock on and wakes every waiting thread.
void headless_advance_clock(unsigned int milliseconds);

struct HeadlessWindowInfo {
    bool exists = false;  // the handle names a window, live or destroyed
    bool alive = false;
    bool visible = false;
    bool needs_paint = false;
    uint64_t paints = 0;  // WM_PAINT messages its thread has taken
    std::string caption;
    std::string class_name;
    int client_width = 0;
    int client_height = 0;
    int x = 0;  // the position asked for the outer frame
    int y = 0;
};
HeadlessWindowInfo headless_window_info(HWND hwnd);

// A copy of a surface: top-down rows, blue, green, red per pixel.
struct HeadlessImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    // Pixel (x, y) from the top-left as 0xRRGGBB.
    uint32_t at(int x, int y) const;
};
HeadlessImage headless_read(HDC hdc);
// What reached the window's screen: its surface as of the last ValidateRect.
HeadlessImage headless_read_screen(HWND hwnd);
// A device context of its own, not tied to a window, white.
HDC headless_create_surface(int width, int height);

// How many times PostQuitMessage has been called in this process.
int headless_quit_posts();

// While set, every CreateWindowExA fails as if no display were available.
void headless_refuse_windows(bool refuse);
