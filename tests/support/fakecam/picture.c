#include "picture.h"

#include <stdlib.h>
#include <string.h>

/* B, G, R of the bars, left to right. */
static const uint8_t bars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                   {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
static const uint8_t grey = 96;

void fakecam_pixel(int x, int y, int width, int height, uint32_t n, uint8_t bgr[3]) {
    int column = (int)((long)x * 20 / width);
    int row = (int)((long)y * 16 / height);
    uint8_t v = grey;
    if (row < 2) {
        if (column < 2)
            v = 255;
        else if (column < 18)
            v = ((n >> (15 - (column - 2))) & 1) ? 255 : 0;
        else
            v = 0;
    } else if (row >= 4 && row < 12) {
        const uint8_t *bar = bars[(long)x * 8 / width];
        memcpy(bgr, bar, 3);
        return;
    }
    bgr[0] = bgr[1] = bgr[2] = v;
}

void fakecam_draw_bgr(uint8_t *out, size_t stride, int width, int height, uint32_t n) {
    /* One row per distinct row band: rows in a band are the same. */
    int band_row = -1;
    for (int y = 0; y < height; ++y) {
        uint8_t *line = out + stride * (size_t)y;
        int band = (int)((long)y * 16 / height);
        if (band == band_row) {
            memcpy(line, line - stride, (size_t)width * 3);
            continue;
        }
        band_row = band;
        for (int x = 0; x < width; ++x) fakecam_pixel(x, y, width, height, n, line + 3 * x);
    }
}

/* The mean of a 3 x 3 sample around the centre of cell (column, row) of a
 * columns x rows grid. */
static void sample(const uint8_t *bgr, size_t stride, int width, int height, int column, int columns, int row,
                   int rows, int mean[3]) {
    int cx = (int)(((long)column * 2 + 1) * width / (2 * columns));
    int cy = (int)(((long)row * 2 + 1) * height / (2 * rows));
    int sum[3] = {0, 0, 0}, count = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            int x = cx + dx, y = cy + dy;
            if (x < 0 || y < 0 || x >= width || y >= height) continue;
            const uint8_t *p = bgr + stride * (size_t)y + 3 * (size_t)x;
            for (int c = 0; c < 3; ++c) sum[c] += p[c];
            ++count;
        }
    }
    for (int c = 0; c < 3; ++c) mean[c] = count ? sum[c] / count : 0;
}

static int near(const int got[3], const uint8_t want[3], int tolerance) {
    for (int c = 0; c < 3; ++c) {
        if (abs(got[c] - want[c]) > tolerance) return 0;
    }
    return 1;
}

static int is_grey(const int got[3], uint8_t level, int tolerance) {
    uint8_t want[3] = {level, level, level};
    return near(got, want, tolerance);
}

void fakecam_read(const uint8_t *bgr, size_t stride, int width, int height, int tolerance,
                  struct fakecam_reading *out) {
    int s[3];
    memset(out, 0, sizeof *out);
    /* Marker cells (two columns by two rows of a 20 x 16 grid) and the grey
     * rows at the other end. */
    int top = 1, bottom = 1;
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 2; ++r) {
            sample(bgr, stride, width, height, c, 20, r, 16, s);
            top &= is_grey(s, 255, tolerance);
            sample(bgr, stride, width, height, c, 20, 15 - r, 16, s);
            bottom &= is_grey(s, 255, tolerance);
        }
    }
    int top_grey = 1, bottom_grey = 1;
    for (int c = 0; c < 20; c += 5) {
        sample(bgr, stride, width, height, c, 20, 14, 16, s);
        bottom_grey &= is_grey(s, grey, tolerance);
        sample(bgr, stride, width, height, c, 20, 1, 16, s);
        top_grey &= is_grey(s, grey, tolerance);
    }
    out->marker_top_left = top && bottom_grey;
    out->marker_bottom_left = bottom && top_grey;

    int right = 1, swapped = 1;
    for (int b = 0; b < 8; ++b) {
        for (int r = 5; r <= 10; r += 5) {
            sample(bgr, stride, width, height, b, 8, r, 16, s);
            uint8_t flipped[3] = {bars[b][2], bars[b][1], bars[b][0]};
            right &= near(s, bars[b], tolerance);
            swapped &= near(s, flipped, tolerance);
        }
    }
    out->bars_right = right;
    out->bars_swapped = swapped && !right;

    uint32_t n = 0;
    int bit_row = out->marker_bottom_left ? 15 : 0;
    for (int bit = 0; bit < 16; ++bit) {
        sample(bgr, stride, width, height, 2 + bit, 20, bit_row, 16, s);
        n = (n << 1) | ((s[0] + s[1] + s[2]) > 3 * 128 ? 1u : 0u);
    }
    out->frame = n;
}
