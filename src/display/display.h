// Drawing of the client area (picture, FPS figure, status strip) and the
// store of the five status lines.
#pragma once

#include <atomic>

// Height in pixels of the status strip below the picture.
const int strip_height = 82;

extern std::atomic<int> display_x;  // picture area width, starts at 360
extern std::atomic<int> display_y;  // picture area height, starts at 300
extern std::atomic<bool> display_fps;

// Draws the current frame, the FPS figure and the strip; validates the window.
void display();
// Redraws the strip and asks for a repaint of the whole window.
void display_text();
// Client area resized: the picture takes all but the 82-pixel strip.
void display_resize(unsigned int width, unsigned int height);

// Empties the five status lines (the fill count is kept).
void clear_text_area();
// Appends one status line (cut to 79 characters), scrolling once full.
void add_line(const char *message);
// Status line `slot` (0 = top) as stored: always zero-terminated.
const char *status_line(int slot);
