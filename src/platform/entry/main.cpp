// Process entry on POSIX systems: the program's own entry point is WinMain,
// as on Windows, which reads the command line recorded here.
#include "shell/main.h"

#include "platform/win32.h"
#include "shell/options.h"

int main(int argc, char **argv) {
    set_command_line(argc, argv);
    return WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL);
}
