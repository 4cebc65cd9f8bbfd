// Entry point, message procedure, frame-rate timer and per-frame hand-over.
#pragma once

#include <atomic>

#include "platform/win32.h"

extern HWND system_hwnd;
extern std::atomic<int> frames;  // frames drawn since the last timer tick
extern std::atomic<int> fps;     // frames in the last whole second

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command_line, int show_command);
// WinMain after its command-line options, with `start_camera` in place of
// camera_start: empties the status lines, makes the window (1 if it cannot),
// starts up and runs the message loop. Tests run the real start-up through
// it over a frame source of their own.
int program_main(HINSTANCE instance, int show_command, void (*start_camera)());
LRESULT CALLBACK WinProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
// Runs the message loop until the quit message; returns its exit code.
int message_loop();
// Shows the first status line, starts the camera and the one-second FPS timer.
void system_startup();
void system_startup(void (*start_camera)());
// Stops the camera, frees the buffers and posts the quit message; runs once.
void system_shutdown();
// Timer 2: fps takes the frames counted since the last tick, which restart at 0.
void timer_message(unsigned int id);
// Runs the pipeline over camera_buffer, counts the frame and draws it.
void frame_ready();
// Console handler for Ctrl+C, Ctrl+Break and closing the console window:
// has the window thread run system_shutdown, as Escape does, and returns
// TRUE only once it is done (or after 4 s). FALSE, leaving the event to the
// default handling, before the window exists and for other events.
BOOL WINAPI console_control(DWORD event);
