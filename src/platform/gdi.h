// Drawing of the portable layer. A window's device context (GetDC) is a
// 24-bit memory surface the size of its client area. What is drawn there
// reaches the screen when the window is next validated (ValidateRect, as
// at the end of a paint): an update shows whole or not at all, never a
// picture without the text drawn over it. Drawing is clipped to the surface, may come from any thread
// (each call is atomic with respect to the others and to presenting), and
// does nothing on a null device context or one whose window is destroyed.
// There are no pens, brushes, fonts or modes to select: every call draws
// with the defaults the program relies on.
#pragma once

#include "platform/types.h"

#define DIB_RGB_COLORS 0
#define SRCCOPY 0x00CC0020

// Stretch modes: how StretchDIBits treats source pixels that shrinking
// leaves out.
#define BLACKONWHITE 1  // the default: AND of the pixels that meet
#define WHITEONBLACK 2  // OR of the pixels that meet
#define COLORONCOLOR 3  // nearest neighbour: the others are dropped
#define STRETCH_ANDSCANS BLACKONWHITE
#define STRETCH_ORSCANS WHITEONBLACK
#define STRETCH_DELETESCANS COLORONCOLOR

// Sets the device context's stretch mode, which stays until set again, and
// returns the previous one; 0 (nothing changed) for a null device context
// or another mode.
int SetStretchBltMode(HDC hdc, int mode);
// The current stretch mode; 0 for a null device context.
int GetStretchBltMode(HDC hdc);

// Copies the source rectangle of a 24-bit uncompressed bottom-up DIB
// (biHeight > 0, rows padded to 4 bytes) into the destination rectangle,
// nearest-neighbour in COLORONCOLOR mode: destination pixel i of a span of D
// takes source pixel floor((2i + 1) * S / (2D)) of a span of S, in each
// direction independently. In BLACKONWHITE (WHITEONBLACK) mode, a direction
// that shrinks (S > D) instead combines, byte by byte with AND (OR), all
// the source pixels floor(i * S / D) .. floor((i + 1) * S / D) - 1 that meet
// in destination pixel i; a direction that does not shrink samples as above. Source y counts rows from the
// bottom of the bitmap, as in Windows: with src_height > 0 the rectangle is rows src_y .. src_y + src_height
// - 1 and its top row is the last of them; a negative src_height takes rows src_y, src_y - 1, ..., src_y +
// src_height + 1 and so mirrors the picture top to bottom (likewise a negative src_width mirrors left to
// right). Source pixels outside the bitmap leave the destination as it was.
// Returns the destination height, or 0 (nothing drawn) for a null or dead
// device context, a null bitmap, another bitmap format, a destination
// width or height below 1, a zero source size, usage other than
// DIB_RGB_COLORS or an operation other than SRCCOPY.
int StretchDIBits(HDC hdc, int dest_x, int dest_y, int dest_width, int dest_height, int src_x, int src_y,
                  int src_width, int src_height, const void *bits, const BITMAPINFO *info, UINT usage,
                  DWORD rop);
// Draws `length` bytes of text (UTF-8; Latin-1 when they are not UTF-8) with the top-left corner of their
// cell at (x, y): the cell, as wide as the text's advance and 16 pixels
// high, is filled white and the text drawn over it in black, antialiased,
// in the system's sans-serif font (fontconfig, FreeType; 13 pixels). A
// length of 0 draws nothing. FALSE for a null device context, a null text or
// a negative length.
BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int length);
// One-pixel black frame, white fill, over columns left .. right - 1 and rows
// top .. bottom - 1 (swapped bounds are put in order). An empty rectangle
// draws nothing.
BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom);
// From any thread: marks the whole client area of the window for repainting
// (the rectangle and erase flag are ignored), so that the owner thread's
// GetMessageA returns WM_PAINT. FALSE for a null or dead window.
BOOL InvalidateRect(HWND hwnd, const RECT *rect, BOOL erase);
// From any thread: marks the whole client area as painted (the rectangle is
// ignored), cancelling a pending WM_PAINT, and sends what was drawn since
// the last validation to the screen when the calling thread drew last (a
// thread validating while another draws shows nothing half drawn). FALSE
// for a null or dead window.
BOOL ValidateRect(HWND hwnd, const RECT *rect);
