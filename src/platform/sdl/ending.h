// How the program's process ends on a desktop with SDL: every way out ends
// it within 2 seconds, after an orderly shutdown where there is a chance.
#pragma once

namespace lvx {

// At the start of the process. SIGINT, SIGTERM, SIGHUP and SIGQUIT close every
// window (and any window made later), so the program shuts down as for a
// close request; the process then ends no later than 1.5 seconds after the
// window thread next turns to its messages, or 5 seconds after the signal if
// it stays busy, or 1.5 seconds after a second signal. Only a thread of this
// layer takes them: no other thread's calls are interrupted. SIGPIPE is
// ignored: a write to a pipe whose reader has gone fails instead.
void take_signals();

// Once the display is open: takes the signals (if take_signals was not
// called) and, on X, an X error (the window destroyed by another client,
// say) or a lost connection to the X server ends the process with status 1
// at once, as Xlib's default handlers do, but safely: the exit hooks stop
// the camera and SDL is not called again. Whatever the cause, the process
// ends no later than 1.5 seconds after it.
void install_exit_paths(bool x11);

// The window thread, each time it takes messages: starts the exit budget of
// a signal that came meanwhile.
void window_thread_turn();

// What main returns for WinMain's `status`: 1 instead when the display
// failed. Bounds the rest of the exit (exit hooks, static destructors) to
// 1.5 seconds.
int process_status(int status);

// True once the X connection failed: SDL must not be called any more.
bool display_lost();

}  // namespace lvx
