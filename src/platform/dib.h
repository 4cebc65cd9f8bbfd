// Row layout of the 24-bit device-independent bitmaps that cameras deliver,
// the display draws and snapshots store.
#pragma once

#include <cstddef>

// Bytes in one row of a DIB `width` pixels wide at `bits` per pixel: the
// pixels' bytes padded to a multiple of 4.
inline size_t dib_stride(size_t width, size_t bits = 24) {
    return (width * bits / 8 + 3) & ~static_cast<size_t>(3);
}
