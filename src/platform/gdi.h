// Drawing of the portable layer. A window's device context is a memory
// surface the size of its client area (24-bit); the presenting backend shows it.
#pragma once

#include "platform/types.h"

#define DIB_RGB_COLORS 0
#define SRCCOPY 0x00CC0020

// Nearest-neighbour stretch of a 24-bit bottom-up DIB (rows padded to 4
// bytes); a negative source height mirrors the copy top to bottom.
int StretchDIBits(HDC hdc, int dest_x, int dest_y, int dest_width, int dest_height, int src_x, int src_y,
                  int src_width, int src_height, const void *bits, const BITMAPINFO *info, UINT usage,
                  DWORD rop);
// Black text on an opaque white cell, in the system font.
BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int length);
// One-pixel black frame, white fill; right and bottom edges exclusive.
BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom);
BOOL InvalidateRect(HWND hwnd, const RECT *rect, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT *rect);
