// Text rendering of the portable layer: one system font, found with
// fontconfig and rendered with FreeType, antialiased black on white.
#pragma once

#include "platform/internal.h"

namespace lvx {

// Height in pixels of a text cell (the line of text TextOutA covers).
const int text_cell_height = 16;

// Draws `length` bytes of `text` (UTF-8, else Latin-1) with the cell's top-left corner
// at (x, y): the cell (the text's advance wide, text_cell_height high) is
// filled white and the glyphs are drawn over it in black, clipped to the
// cell and to the surface. The caller holds the surface's lock. Without a
// usable font every character shows as a hollow box. Returns the cell width.
int draw_text(Surface &surface, int x, int y, const unsigned char *text, int length);

// How many runs of text draw_text has laid out and rasterised so far. A run
// drawn again while it is still kept (the 16 most recently drawn texts of up
// to 256 bytes) is copied instead and not counted.
uint64_t text_runs_rasterised();

}  // namespace lvx
