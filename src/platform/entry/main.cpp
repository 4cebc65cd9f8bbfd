// Process entry on POSIX systems: the program's own entry point is WinMain,
// as on Windows. There are no command-line options.
#include "shell/main.h"

#include "platform/sdl/ending.h"
#include "platform/win32.h"

int main() {
    return lvx::process_status(
        WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL));
}
