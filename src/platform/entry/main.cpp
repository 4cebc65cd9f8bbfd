// Process entry on POSIX systems: the program's own entry point is WinMain,
// as on Windows, which reads the command line recorded here.
#include "shell/main.h"

#include "platform/sdl/ending.h"
#include "platform/win32.h"
#include "shell/options.h"

// Before the program's static start-up, which lists the cameras: an
// interrupt from the very start shuts the program down in order.
__attribute__((constructor(101))) static void take_signals_first() { lvx::take_signals(); }

int main(int argc, char **argv) {
    set_command_line(argc, argv);
    return lvx::process_status(
        WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(""), SW_SHOWNORMAL));
}
