#include "platform/console.h"

#include <cerrno>
#include <unistd.h>

namespace {
// A handle value of our own that stands for file descriptor 2.
HANDLE const stderr_handle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x5702));
}  // namespace

BOOL AllocConsole() {
    return TRUE;
}

HANDLE GetStdHandle(DWORD std_handle) {
    if (std_handle == STD_OUTPUT_HANDLE || std_handle == STD_ERROR_HANDLE) return stderr_handle;
    return INVALID_HANDLE_VALUE;
}

BOOL WriteConsoleA(HANDLE console, const void *buffer, DWORD count, LPDWORD written, LPVOID) {
    if (written) *written = 0;
    if (console != stderr_handle) return FALSE;
    const char *p = static_cast<const char *>(buffer);
    DWORD left = count;
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FALSE;
        }
        p += n;
        left -= static_cast<DWORD>(n);
        if (written) *written += static_cast<DWORD>(n);
    }
    return TRUE;
}
