#include "shell/window.h"

#include "display/display.h"
#include "shell/main.h"

namespace {

const char c_name[] = "Lumivex";

// Caption bar and frame around the client area, and the status strip below the picture.
const int frame_width = 7;
const int frame_height = 27;

}  // namespace

int setup_window(Program &program, HINSTANCE instance, int show_command) {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_OWNDC | CS_DBLCLKS;
    wc.lpfnWndProc = WinProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<intptr_t>(COLOR_WINDOW + 1));
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = c_name;
    if (!RegisterClassExA(&wc)) return 1;

    HWND hwnd = CreateWindowExA(WS_EX_OVERLAPPEDWINDOW, c_name, "Lumivex", WS_OVERLAPPEDWINDOW, 150, 150,
                                program.screen.display_x + frame_width,
                                program.screen.display_y + strip_height + frame_height, nullptr, nullptr,
                                instance, nullptr);
    if (!hwnd) return 1;
    HWND main_win = hwnd;
    HDC main_dc = GetDC(main_win);
    {
        // The display draws into it under the frame lock.
        std::lock_guard<std::mutex> lock(program.store.frame_lock);
        program.window.main_win = main_win;
        program.window.main_dc = main_dc;
    }
    // Shrinking by dropping pixels rather than AND-ing them (the default),
    // which would darken the picture and wipe out one-pixel marks. The
    // class has its own device context, so this lasts.
    SetStretchBltMode(main_dc, COLORONCOLOR);
    ShowWindow(main_win, show_command);
    return 0;
}

void destroy_window(Program &) {
    // Nothing to do: the window is either being destroyed already (the destroy
    // message) or goes with the process (Escape).
}
