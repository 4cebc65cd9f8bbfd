// Entry point, message procedure, frame-rate timer and shutdown.
#pragma once

#include "platform/win32.h"
#include "shell/program.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);
// WinMain's work over `program`: the command-line options, the device list,
// then program_main with the camera's own start.
int program_main(Program &program, HINSTANCE instance, int show_command);
// WinMain after its command-line options, over `program`, with
// `start_camera` in place of the camera's own start: empties the status
// lines, makes the window (1 if it cannot), starts up and runs the message
// loop. Tests run the real start-up through it over a frame source of their own.
int program_main(Program &program, HINSTANCE instance, int show_command, void (*start_camera)(Program &));
LRESULT CALLBACK WinProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// Runs the message loop until the quit message; returns its exit code.
int message_loop();
// Shows the first status line, starts the camera and the one-second FPS timer.
void system_startup(Program &program, void (*start_camera)(Program &));
// Cuts the frame in hand short, stops the camera, frees the buffers and
// posts the quit message; runs once.
void system_shutdown(Program &program);
// Timer 2: fps takes the frames counted since the last tick, which restart
// at 0. Timer 3: the camera watch.
void timer_message(Program &program, unsigned int id);
// Console handler for Ctrl+C, Ctrl+Break and closing the console window:
// has the window thread run system_shutdown, as Escape does, and returns
// TRUE only once it is done (or after 4 s). FALSE, leaving the event to the
// default handling, before the window exists and for other events.
BOOL WINAPI console_control(DWORD event);
