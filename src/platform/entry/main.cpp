// Process entry on POSIX systems: the program's own entry point is WinMain,
// as on Windows. There are no command-line options.
#include "platform/win32.h"
#include "shell/main.h"

int main() {
    return WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL);
}
