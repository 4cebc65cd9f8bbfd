// The one top-level window.
#pragma once

#include "platform/win32.h"
#include "shell/program.h"

// Registers the class "Lumivex", creates and shows the window and records
// it (main_win, main_dc) in the program; 0 on success, 1 on failure.
int setup_window(Program &program, HINSTANCE instance, int show_command);
void destroy_window(Program &program);
