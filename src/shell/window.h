// The one top-level window.
#pragma once

#include "platform/win32.h"

extern HWND main_win;
extern HDC main_dc;

// Registers the class "Lumivex" and creates and shows the window; 0 on success, 1 on failure.
int setup_window(HINSTANCE instance, int show_command);
void destroy_window();
