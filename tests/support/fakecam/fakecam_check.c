/* Tells whether a 24-bit BMP (a snapshot, or a screenshot turned into one)
 * shows the emulated camera's picture, and how.
 *
 * Usage: fakecam_check FILE.bmp [--orientation upright|flipped]
 *                               [--colours right|swapped] [--size WxH]
 *                               [--tolerance N] [--max-diff N] [--mean-diff X]
 * Prints "FILE: WxH frame N upright|flipped|unknown colours right|swapped|wrong
 * max-diff D mean-diff M", where the differences compare every pixel with the
 * frame the picture says it is (drawn upright or flipped, as it shows).
 * Exits 0 when every stated expectation holds, 1 when one does not, 2 when
 * the file cannot be read as a 24-bit BMP.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "picture.h"

static uint32_t u32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: fakecam_check FILE.bmp [options]\n");
        return 2;
    }
    const char *path = argv[1], *orientation = NULL, *colours = NULL;
    int want_w = 0, want_h = 0, tolerance = 40, max_diff = -1;
    double mean_diff = -1;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--orientation"))
            orientation = argv[i + 1];
        else if (!strcmp(argv[i], "--colours"))
            colours = argv[i + 1];
        else if (!strcmp(argv[i], "--size"))
            sscanf(argv[i + 1], "%dx%d", &want_w, &want_h);
        else if (!strcmp(argv[i], "--tolerance"))
            tolerance = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--max-diff"))
            max_diff = atoi(argv[i + 1]);
        else if (!strcmp(argv[i], "--mean-diff"))
            mean_diff = atof(argv[i + 1]);
        else {
            fprintf(stderr, "fakecam_check: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    FILE *f = fopen(path, "rb");
    if (!f) {
        perror(path);
        return 2;
    }
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    uint8_t *file = malloc((size_t)size);
    if (!file || fread(file, 1, (size_t)size, f) != (size_t)size || size < 54 || file[0] != 'B' ||
        file[1] != 'M') {
        fprintf(stderr, "%s: not a BMP\n", path);
        return 2;
    }
    fclose(f);
    uint32_t offset = u32(file + 10);
    int32_t w = (int32_t)u32(file + 18), h = (int32_t)u32(file + 22);
    int bits = file[28] | file[29] << 8;
    int bottom_up = h > 0;
    if (h < 0) h = -h;
    size_t stride = ((size_t)w * 3 + 3) & ~(size_t)3;
    if (bits != 24 || w <= 0 || offset + stride * (size_t)h > (size_t)size) {
        fprintf(stderr, "%s: not a whole 24-bit BMP\n", path);
        return 2;
    }
    /* Top row first, unpadded. */
    size_t row = (size_t)w * 3;
    uint8_t *picture = malloc(row * (size_t)h);
    for (int y = 0; y < h; ++y)
        memcpy(picture + row * (size_t)y, file + offset + stride * (size_t)(bottom_up ? h - 1 - y : y), row);

    struct fakecam_reading r;
    fakecam_read(picture, row, w, h, tolerance, &r);
    const char *shown = r.marker_top_left ? "upright" : r.marker_bottom_left ? "flipped" : "unknown";
    const char *bars = r.bars_right ? "right" : r.bars_swapped ? "swapped" : "wrong";

    uint8_t *expected = malloc(row * (size_t)h);
    fakecam_draw_bgr(expected, row, w, h, r.frame);
    long total = 0;
    int worst = 0;
    for (int y = 0; y < h; ++y) {
        const uint8_t *a = picture + row * (size_t)y;
        const uint8_t *b = expected + row * (size_t)(r.marker_bottom_left ? h - 1 - y : y);
        for (size_t i = 0; i < row; ++i) {
            int d = abs((int)a[i] - (int)b[i]);
            total += d;
            if (d > worst) worst = d;
        }
    }
    double mean = (double)total / (double)(row * (size_t)h);
    printf("%s: %dx%d frame %u %s colours %s max-diff %d mean-diff %.2f\n", path, w, h, r.frame, shown, bars,
           worst, mean);

    int ok = 1;
    if (orientation && strcmp(orientation, shown)) ok = 0;
    if (colours && strcmp(colours, bars)) ok = 0;
    if (want_w && (want_w != w || want_h != h)) ok = 0;
    if (max_diff >= 0 && worst > max_diff) ok = 0;
    if (mean_diff >= 0 && mean > mean_diff) ok = 0;
    return ok ? 0 : 1;
}
