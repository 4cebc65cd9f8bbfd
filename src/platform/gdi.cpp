#include "platform/gdi.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/dib.h"
#include "platform/font.h"
#include "platform/internal.h"

using namespace lvx;

namespace {

// Runs draw(surface) with the surface locked, then tells the backend that
// the window's pixels changed. False when there is nothing to draw on.
template <class Draw>
bool with_surface(HDC hdc, Draw draw) {
    if (!hdc) return false;
    Surface *s = from_hdc(hdc);
    if (s->window && !s->window->alive) return false;
    {
        std::lock_guard<std::mutex> lock(s->lock);
        draw(*s);
    }
    if (s->window) {
        s->window->changed = true;
        backend().surface_changed(*s->window);
    }
    return true;
}

int clamp_to(long long value, int low, int high) {
    return static_cast<int>(std::max<long long>(low, std::min<long long>(value, high)));
}

// Nearest-neighbour index into a source span of `source` for destination
// index i of a span of `dest`.
long long sample(long long i, long long source, long long dest) { return (2 * i + 1) * source / (2 * dest); }

// The source indices that meet in destination index i: [first, last].
// Shrinking, every one of them; otherwise the nearest alone.
void meeting(long long i, long long source, long long dest, long long &first, long long &last) {
    if (source <= dest) {
        first = last = sample(i, source, dest);
        return;
    }
    first = i * source / dest;
    last = (i + 1) * source / dest - 1;
}

}  // namespace

int SetStretchBltMode(HDC hdc, int mode) {
    if (!hdc || mode < BLACKONWHITE || mode > COLORONCOLOR) return 0;
    return from_hdc(hdc)->stretch_mode.exchange(mode);
}

int GetStretchBltMode(HDC hdc) { return hdc ? from_hdc(hdc)->stretch_mode.load() : 0; }

int StretchDIBits(HDC hdc, int dest_x, int dest_y, int dest_width, int dest_height, int src_x, int src_y,
                  int src_width, int src_height, const void *bits, const BITMAPINFO *info, UINT usage,
                  DWORD rop) {
    if (!hdc || !bits || !info) return 0;
    const BITMAPINFOHEADER &h = info->bmiHeader;
    if (h.biBitCount != 24 || h.biCompression != BI_RGB || h.biWidth <= 0 || h.biHeight <= 0) return 0;
    if (usage != DIB_RGB_COLORS || rop != SRCCOPY) return 0;
    if (dest_width < 1 || dest_height < 1 || src_width == 0 || src_height == 0) return 0;

    const long long bitmap_w = h.biWidth;
    const long long bitmap_h = h.biHeight;
    const size_t src_stride = dib_stride(static_cast<size_t>(bitmap_w));
    const unsigned char *src = static_cast<const unsigned char *>(bits);
    const long long span_w = src_width < 0 ? -static_cast<long long>(src_width) : src_width;
    const long long span_h = src_height < 0 ? -static_cast<long long>(src_height) : src_height;

    // Source byte offset of each destination column, -1 outside the bitmap.
    // Kept per thread so that a frame's drawing allocates nothing once warm.
    thread_local std::vector<long long> columns;

    const int mode = from_hdc(hdc)->stretch_mode;
    if (mode != COLORONCOLOR && (span_w > dest_width || span_h > dest_height)) {
        // Shrinking with AND or OR of the pixels that meet.
        const bool use_and = mode == BLACKONWHITE;
        bool drawn = with_surface(hdc, [&](Surface &s) {
            const size_t dst_stride = static_cast<size_t>(s.width) * 3;
            for (int y = std::max(dest_y, 0);
                 y < s.height && y - static_cast<long long>(dest_y) < dest_height; ++y) {
                long long t0, t1;
                meeting(y - static_cast<long long>(dest_y), span_h, dest_height, t0, t1);
                for (int x = std::max(dest_x, 0);
                     x < s.width && x - static_cast<long long>(dest_x) < dest_width; ++x) {
                    long long u0, u1;
                    meeting(x - static_cast<long long>(dest_x), span_w, dest_width, u0, u1);
                    unsigned char out[3] = {0, 0, 0};
                    if (use_and) out[0] = out[1] = out[2] = 0xff;
                    bool any = false;
                    for (long long t = t0; t <= t1; ++t) {
                        long long r =
                            src_height > 0 ? src_y + src_height - 1 - t : src_y + src_height + 1 + t;
                        if (r < 0 || r >= bitmap_h) continue;
                        for (long long u = u0; u <= u1; ++u) {
                            long long c = src_width > 0 ? src_x + u : src_x - u;
                            if (c < 0 || c >= bitmap_w) continue;
                            const unsigned char *p = src + static_cast<size_t>(r) * src_stride + c * 3;
                            for (int k = 0; k < 3; ++k) out[k] = use_and ? (out[k] & p[k]) : (out[k] | p[k]);
                            any = true;
                        }
                    }
                    if (any) std::memcpy(&s.pixels[y * dst_stride + static_cast<size_t>(x) * 3], out, 3);
                }
            }
        });
        return drawn ? dest_height : 0;
    }

    bool drawn = with_surface(hdc, [&](Surface &s) {
        int x0 = clamp_to(dest_x, 0, s.width);
        int x1 = clamp_to(static_cast<long long>(dest_x) + dest_width, 0, s.width);
        int y0 = clamp_to(dest_y, 0, s.height);
        int y1 = clamp_to(static_cast<long long>(dest_y) + dest_height, 0, s.height);
        if (x1 <= x0 || y1 <= y0) return;
        columns.resize(static_cast<size_t>(x1 - x0));
        for (int x = x0; x < x1; ++x) {
            long long t = sample(x - static_cast<long long>(dest_x), span_w, dest_width);
            long long c = src_width > 0 ? src_x + t : src_x - t;
            columns[x - x0] = (c >= 0 && c < bitmap_w) ? c * 3 : -1;
        }
        const size_t dst_stride = static_cast<size_t>(s.width) * 3;
        for (int y = y0; y < y1; ++y) {
            long long t = sample(y - static_cast<long long>(dest_y), span_h, dest_height);
            // The rectangle's top row is the last row of its run upwards from src_y.
            long long r = src_height > 0 ? src_y + src_height - 1 - t : src_y + src_height + 1 + t;
            if (r < 0 || r >= bitmap_h) continue;
            const unsigned char *src_row = src + static_cast<size_t>(r) * src_stride;
            unsigned char *dst = &s.pixels[y * dst_stride + static_cast<size_t>(x0) * 3];
            for (int i = 0; i < x1 - x0; ++i, dst += 3) {
                long long c = columns[i];
                if (c < 0) continue;
                dst[0] = src_row[c];
                dst[1] = src_row[c + 1];
                dst[2] = src_row[c + 2];
            }
        }
    });
    return drawn ? dest_height : 0;
}

BOOL TextOutA(HDC hdc, int x, int y, LPCSTR text, int length) {
    if (!text || length < 0) return FALSE;
    if (length == 0) return hdc ? TRUE : FALSE;
    bool drawn = with_surface(
        hdc, [&](Surface &s) { draw_text(s, x, y, reinterpret_cast<const unsigned char *>(text), length); });
    return drawn ? TRUE : FALSE;
}

BOOL Rectangle(HDC hdc, int left, int top, int right, int bottom) {
    if (left > right) std::swap(left, right);
    if (top > bottom) std::swap(top, bottom);
    bool drawn = with_surface(hdc, [&](Surface &s) {
        if (right <= left || bottom <= top) return;
        int x0 = clamp_to(left, 0, s.width);
        int x1 = clamp_to(right, 0, s.width);
        int y0 = clamp_to(top, 0, s.height);
        int y1 = clamp_to(bottom, 0, s.height);
        const size_t stride = static_cast<size_t>(s.width) * 3;
        for (int y = y0; y < y1; ++y) {
            bool edge_row = y == top || y == bottom - 1;
            unsigned char *row = &s.pixels[y * stride];
            for (int x = x0; x < x1; ++x) {
                unsigned char v = (edge_row || x == left || x == right - 1) ? 0x00 : 0xff;
                std::memset(row + static_cast<size_t>(x) * 3, v, 3);
            }
        }
    });
    return drawn ? TRUE : FALSE;
}
