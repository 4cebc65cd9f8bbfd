// Writing files safely: a whole BMP snapshot through a temporary file, and
// the system's words for a failed file call.
#pragma once

#include <string>

#include "platform/win32.h"

// Writes a 24-bit BMP file (the two headers, then `pixel_bytes` of rows) to
// `name` through a temporary file beside it, so a failure never leaves a
// truncated file or touches an older file of that name. On failure `reason`
// holds the system's error text.
bool write_bmp_file(const std::string &name, const BITMAPFILEHEADER &file_header,
                    const BITMAPINFOHEADER &info, const unsigned char *pixels, DWORD pixel_bytes,
                    std::string &reason);

// The system's text for the error of the last failed file call.
std::string last_error_text();
