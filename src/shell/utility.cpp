#include "shell/utility.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win32.h"

void console(const char *format, ...) {
    static HANDLE h_console = INVALID_HANDLE_VALUE;
    if (h_console == INVALID_HANDLE_VALUE) {
        AllocConsole();
        h_console = GetStdHandle(STD_OUTPUT_HANDLE);
    }
    // vsnprintf always terminates, so a long text is cut to 1023 characters
    // and the write never reads past the buffer.
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    DWORD written = 0;
    WriteConsoleA(h_console, buffer, static_cast<DWORD>(std::strlen(buffer)), &written, nullptr);
}
