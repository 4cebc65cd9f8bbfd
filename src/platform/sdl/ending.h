// How the program's process ends on a desktop with SDL: every way out ends
// it within 2 seconds, after an orderly shutdown where there is a chance.
#pragma once

namespace lvx {

// Once the display is open. SIGINT and SIGTERM close every window, so the
// program shuts down as for a close request. On X, an X error (the window
// destroyed by another client, say) or a lost connection to the X server
// ends the process with status 1 at once, as Xlib's default handlers do,
// but safely: the exit hooks stop the camera and SDL is not called again.
// Whatever the cause, the process ends no later than 1.5 seconds after it.
void install_exit_paths(bool x11);

// What main returns for WinMain's `status`: 1 instead when the display
// failed. Bounds the rest of the exit (exit hooks, static destructors) to
// 1.5 seconds.
int process_status(int status);

// True once the X connection failed: SDL must not be called any more.
bool display_lost();

}  // namespace lvx
