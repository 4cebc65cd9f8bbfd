#include "shell/utility.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32.h"
#include "shell/main.h"

void console(const char *format, ...) {
    static HANDLE h_console = INVALID_HANDLE_VALUE;
    if (h_console == INVALID_HANDLE_VALUE) {
        AllocConsole();
        h_console = GetStdHandle(STD_OUTPUT_HANDLE);
        // Closing the console window (or Ctrl+C in it) would otherwise end
        // the process on the spot, camera running.
        static bool handler_added = SetConsoleCtrlHandler(console_control, TRUE) != FALSE;
        (void)handler_added;
    }
    // vsnprintf always terminates, so a long text is cut to 1023 characters
    // and the write never reads past the buffer.
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    int length = static_cast<int>(std::strlen(buffer));
    if (length == 0) return;
    // The text is UTF-8 (device names are), or else ANSI; the console gets
    // UTF-16, so it does not depend on the console's code page.
    WCHAR wide[sizeof buffer];
    int count = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, buffer, length, wide, length);
    if (count <= 0) count = MultiByteToWideChar(CP_ACP, 0, buffer, length, wide, length);
    DWORD written = 0;
    if (count <= 0 || !WriteConsoleW(h_console, wide, static_cast<DWORD>(count), &written, nullptr))
        WriteConsoleA(h_console, buffer, static_cast<DWORD>(length), &written, nullptr);
}

void announce_device(const char *name) {
#ifdef _WIN32
    console("fname: %s", name);
#else
    console("fname: %s\n", name);
#endif
}
