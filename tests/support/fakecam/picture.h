/* The pictures the emulated camera sends, and how a test reads them back.
 *
 * Frame n of a width x height picture, top row first:
 *   - top eighth: a white marker in the two leftmost of twenty columns, then
 *     sixteen columns holding n's bits (most significant first; white 1,
 *     black 0), then black;
 *   - rows 4..11 of sixteen: eight colour bars, left to right white, yellow,
 *     cyan, green, magenta, red, blue, black;
 *   - everything else mid grey (96).
 * A red/blue swap turns yellow into cyan; a picture drawn upside down has its
 * marker at the bottom left; the bits tell which frame it is.
 */
#ifndef FAKECAM_PICTURE_H
#define FAKECAM_PICTURE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Blue, green, red of pixel (x, y) (y = 0 is the top row) of frame n. */
void fakecam_pixel(int x, int y, int width, int height, uint32_t n, uint8_t bgr[3]);
/* The whole frame, top row first, 3 bytes a pixel, rows of `stride` bytes. */
void fakecam_draw_bgr(uint8_t *out, size_t stride, int width, int height, uint32_t n);

/* What a picture (any size: it may be the frame stretched) shows. */
struct fakecam_reading {
    int marker_top_left;    /* the marker is at the top left: upright */
    int marker_bottom_left; /* ... at the bottom left: upside down */
    int bars_right;         /* the bars in order */
    int bars_swapped;       /* the bars with red and blue exchanged */
    uint32_t frame;         /* the frame number, read from its bits (upright pictures) */
};
/* Reads a top-down BGR picture of `stride`-byte rows; `tolerance` is how far
 * (per channel) a sample may be from its colour. */
void fakecam_read(const uint8_t *bgr, size_t stride, int width, int height, int tolerance,
                  struct fakecam_reading *out);

#ifdef __cplusplus
}
#endif

#endif
