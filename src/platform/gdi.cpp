#include "platform/gdi.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/dib.h"
#include "platform/font.h"
#include "platform/internal.h"

using namespace lvx;

namespace {

// Runs draw(surface) with the surface locked and marks a window's surface
// as drawn: it reaches the screen when the window is validated. False when
// there is nothing to draw on.
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
        s->window->drawer = std::this_thread::get_id();
        s->window->drawn = true;
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
// Combining a span that shrinks, every one of them; otherwise the nearest
// alone.
void meeting(long long i, long long source, long long dest, bool combine, long long &first, long long &last) {
    if (!combine || source <= dest) {
        first = last = sample(i, source, dest);
        return;
    }
    first = i * source / dest;
    last = (i + 1) * source / dest - 1;
}

// The bitmap indices that span indices [first, last] name, counted forwards
// from `start` (or backwards when `backwards`), clipped to 0 .. size - 1:
// [low, high], empty when low > high.
void to_bitmap(long long first, long long last, long long start, bool backwards, long long size,
               long long &low, long long &high) {
    low = backwards ? start - last : start + first;
    high = backwards ? start - first : start + last;
    low = std::max<long long>(low, 0);
    high = std::min<long long>(high, size - 1);
}

// Where one destination column reads in a (combined) source row: the byte
// offset of its first source pixel and how many pixels meet there (0: none
// inside the bitmap, the destination pixel stays as it was).
struct Column {
    size_t offset;
    size_t count;
};

template <bool use_and>
inline unsigned char combine(unsigned char a, unsigned char b) {
    return use_and ? static_cast<unsigned char>(a & b) : static_cast<unsigned char>(a | b);
}

// Combines `bytes` bytes of `row` into `into`.
template <bool use_and>
void combine_row(unsigned char *__restrict into, const unsigned char *__restrict row, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) into[i] = combine<use_and>(into[i], row[i]);
}

// One destination row from one source row, one source pixel (or none) each.
void sample_columns(unsigned char *__restrict dst, const unsigned char *__restrict line,
                    const Column *columns, size_t count) {
    for (size_t i = 0; i < count; ++i, dst += 3) {
        if (!columns[i].count) continue;
        const unsigned char *p = line + columns[i].offset;
        dst[0] = p[0];
        dst[1] = p[1];
        dst[2] = p[2];
    }
}

// One destination row from one combined source row, pixel by pixel: the
// general way, for columns that read nothing or where very many pixels meet.
template <bool use_and>
void combine_columns(unsigned char *__restrict dst, const unsigned char *__restrict line,
                     const Column *columns, size_t count) {
    for (size_t i = 0; i < count; ++i, dst += 3) {
        const Column &c = columns[i];
        if (!c.count) continue;
        const unsigned char *p = line + c.offset;
        unsigned char out[3] = {p[0], p[1], p[2]};
        for (size_t k = 1; k < c.count; ++k)
            for (int b = 0; b < 3; ++b) out[b] = combine<use_and>(out[b], p[3 * k + b]);
        std::memcpy(dst, out, 3);
    }
}

// Where each destination column reads in the combined levels of a row:
// level k - 1 holds, at each source pixel, the combination of it and the
// k - 1 pixels after it, so a column where k pixels meet reads one pixel.
// Levels are `level_stride` bytes apart, with room for a 4-byte read at the
// end of each.
size_t level_offset(const Column &c, size_t level_stride) { return (c.count - 1) * level_stride + c.offset; }

// Fills levels 1 .. levels - 1 from level 0 (`bytes` bytes of pixels).
template <bool use_and>
void build_levels(unsigned char *work, size_t bytes, size_t level_stride, size_t levels) {
    for (size_t k = 1; k < levels && 3 * k < bytes; ++k) {
        const unsigned char *__restrict below = work + (k - 1) * level_stride;
        const unsigned char *__restrict first = work + 3 * k;
        unsigned char *__restrict level = work + k * level_stride;
        for (size_t i = 0; i < bytes - 3 * k; ++i) level[i] = combine<use_and>(below[i], first[i]);
    }
}

// One destination row, every column reading one pixel of the levels: four
// bytes at a time (the fourth lands on the next pixel, written after it),
// the last pixel three.
void gather_row(unsigned char *__restrict dst, const unsigned char *__restrict work, const size_t *offsets,
                size_t count) {
    for (size_t i = 0; i + 1 < count; ++i, dst += 3) std::memcpy(dst, work + offsets[i], 4);
    std::memcpy(dst, work + offsets[count - 1], 3);
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
    // In BLACKONWHITE and WHITEONBLACK, when either direction shrinks, the
    // pixels that meet are combined. AND (OR) over a rectangle of them is the
    // same as over each column of the rows combined first, so each
    // destination row combines its source rows once, then each destination
    // pixel its columns of that.
    const int mode = from_hdc(hdc)->stretch_mode;
    const bool combining = mode != COLORONCOLOR && (span_w > dest_width || span_h > dest_height);
    const bool use_and = mode == BLACKONWHITE;

    // Kept per thread so that a frame's drawing allocates nothing once warm.
    thread_local std::vector<Column> columns;
    thread_local std::vector<size_t> offsets;
    thread_local std::vector<unsigned char> work;

    bool drawn = with_surface(hdc, [&](Surface &s) {
        const int x0 = clamp_to(dest_x, 0, s.width);
        const int x1 = clamp_to(static_cast<long long>(dest_x) + dest_width, 0, s.width);
        const int y0 = clamp_to(dest_y, 0, s.height);
        const int y1 = clamp_to(static_cast<long long>(dest_y) + dest_height, 0, s.height);
        if (x1 <= x0 || y1 <= y0) return;

        // The columns, and the bitmap columns low .. high that any of them reads.
        columns.resize(static_cast<size_t>(x1 - x0));
        long long low = bitmap_w, high = -1;
        size_t most = 0;           // the most source pixels meeting in one column
        bool every_column = true;  // every column reads a source pixel
        for (int x = x0; x < x1; ++x) {
            long long first, last, c0, c1;
            meeting(x - static_cast<long long>(dest_x), span_w, dest_width, combining, first, last);
            to_bitmap(first, last, src_x, src_width < 0, bitmap_w, c0, c1);
            Column &c = columns[x - x0];
            c.offset = c1 >= c0 ? static_cast<size_t>(c0) * 3 : 0;
            c.count = c1 >= c0 ? static_cast<size_t>(c1 - c0 + 1) : 0;
            if (c1 >= c0) {
                low = std::min(low, c0);
                high = std::max(high, c1);
            }
            most = std::max(most, c.count);
            every_column = every_column && c.count > 0;
        }
        if (high < low) return;
        const size_t base = static_cast<size_t>(low) * 3;
        const size_t bytes = static_cast<size_t>(high - low + 1) * 3;
        for (Column &c : columns) c.offset = c.count ? c.offset - base : 0;
        // Combining, each row's source rows are combined into level 0 of
        // `work`, then the levels for the columns where several pixels meet.
        const size_t level_stride = bytes + 4;
        const bool levelled = every_column && most <= 8;
        if (combining) work.resize(level_stride * (levelled ? std::max<size_t>(most, 1) : 1));
        // Sampling straight from the bitmap, the 4-byte reads of all pixels
        // but the last must stay inside it: they do unless they reach past
        // the end of its last row.
        size_t reach = 0;
        // Sampling where each column reads the pixel after the one before (the
        // bitmap's own width): each row is one copy.
        bool straight = levelled && !combining;
        if (levelled) {
            offsets.resize(columns.size());
            for (size_t i = 0; i < columns.size(); ++i) {
                offsets[i] = level_offset(columns[i], level_stride);
                if (i + 1 < columns.size()) reach = std::max(reach, offsets[i] + 4);
                straight = straight && offsets[i] == offsets[0] + 3 * i;
            }
        }

        const size_t dst_stride = static_cast<size_t>(s.width) * 3;
        const size_t row_bytes = static_cast<size_t>(x1 - x0) * 3;
        // Enlarging repeats source rows: a destination row that reads the same
        // rows as the one above it, and writes every pixel, is a copy of it.
        long long above_r0 = -1, above_r1 = -1;
        for (int y = y0; y < y1; ++y) {
            long long first, last, r0, r1;
            meeting(y - static_cast<long long>(dest_y), span_h, dest_height, combining, first, last);
            // The rectangle's top row is the last row of its run upwards from
            // src_y; a negative height runs downwards from src_y.
            if (src_height > 0)
                to_bitmap(first, last, src_y + src_height - 1, true, bitmap_h, r0, r1);
            else
                to_bitmap(first, last, src_y + src_height + 1, false, bitmap_h, r0, r1);
            if (r1 < r0) {
                above_r0 = above_r1 = -1;
                continue;
            }
            unsigned char *dst = &s.pixels[y * dst_stride + static_cast<size_t>(x0) * 3];
            if (every_column && r0 == above_r0 && r1 == above_r1) {
                std::memcpy(dst, dst - dst_stride, row_bytes);
                continue;
            }
            above_r0 = r0;
            above_r1 = r1;
            const unsigned char *line = src + static_cast<size_t>(r0) * src_stride + base;
            if (!combining) {
                if (straight)
                    std::memcpy(dst, line + offsets[0], row_bytes);
                else if (levelled && (r0 + 1 < bitmap_h || base + reach <= src_stride))
                    gather_row(dst, line, offsets.data(), offsets.size());
                else
                    sample_columns(dst, line, columns.data(), columns.size());
                continue;
            }
            std::memcpy(work.data(), line, bytes);
            for (long long r = r0 + 1; r <= r1; ++r) {
                const unsigned char *row = src + static_cast<size_t>(r) * src_stride + base;
                if (use_and)
                    combine_row<true>(work.data(), row, bytes);
                else
                    combine_row<false>(work.data(), row, bytes);
            }
            if (levelled) {
                if (use_and)
                    build_levels<true>(work.data(), bytes, level_stride, most);
                else
                    build_levels<false>(work.data(), bytes, level_stride, most);
                gather_row(dst, work.data(), offsets.data(), offsets.size());
            } else if (use_and) {
                combine_columns<true>(dst, work.data(), columns.data(), columns.size());
            } else {
                combine_columns<false>(dst, work.data(), columns.data(), columns.size());
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
            const bool edge_row = y == top || y == bottom - 1;
            unsigned char *row = &s.pixels[y * stride];
            std::memset(row + static_cast<size_t>(x0) * 3, edge_row ? 0x00 : 0xff,
                        static_cast<size_t>(x1 - x0) * 3);
            if (left >= x0 && left < x1) std::memset(row + static_cast<size_t>(left) * 3, 0x00, 3);
            if (right - 1 >= x0 && right - 1 < x1)
                std::memset(row + static_cast<size_t>(right - 1) * 3, 0x00, 3);
        }
    });
    return drawn ? TRUE : FALSE;
}
