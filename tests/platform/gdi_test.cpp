// Drawing calls of the portable layer, on free surfaces of the headless backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "platform/font.h"
#include "platform/headless/headless.h"
#include "platform/win32.h"
#include "support/program.h"

namespace {

using test_support::text_image;

BITMAPINFO dib(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// A bottom-up DIB, rows padded to 4 bytes, pixel (x, row) = colour(x, row).
template <class Colour>
std::vector<unsigned char> make_dib(int width, int height, Colour colour) {
    size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~static_cast<size_t>(3);
    std::vector<unsigned char> bits(stride * height, 0xEE);
    for (int row = 0; row < height; ++row) {
        for (int x = 0; x < width; ++x) {
            uint32_t c = colour(x, row);
            unsigned char *p = &bits[row * stride + x * 3];
            p[0] = c & 0xff;
            p[1] = (c >> 8) & 0xff;
            p[2] = (c >> 16) & 0xff;
        }
    }
    return bits;
}

uint32_t encode(int x, int row) { return static_cast<uint32_t>((row << 10) | x); }
int decoded_x(uint32_t c) { return static_cast<int>(c & 0x3ff); }
int decoded_row(uint32_t c) { return static_cast<int>(c >> 10); }

TEST(StretchDIBits, StretchesEachDirectionIndependentlyTopRowFirst) {
    auto bits = make_dib(320, 240, encode);
    BITMAPINFO info = dib(320, 240);
    HDC dc = headless_create_surface(640, 400);
    ASSERT_EQ(StretchDIBits(dc, 0, 0, 640, 400, 0, 0, 320, 240, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY),
              400);
    HeadlessImage img = headless_read(dc);

    // Horizontally every source column shows exactly twice, in order.
    for (int x = 0; x < 640; ++x) ASSERT_EQ(decoded_x(img.at(x, 123)), x / 2) << x;
    // Vertically 240 rows fill 400: the bottom-up bitmap's last row is on top,
    // every row shows once or twice, in order, none skipped.
    std::vector<int> shown(240, 0);
    int previous = 240;
    for (int y = 0; y < 400; ++y) {
        int row = decoded_row(img.at(7, y));
        ASSERT_TRUE(row == previous || row == previous - 1) << "y " << y << " row " << row;
        previous = row;
        ++shown[row];
    }
    EXPECT_EQ(decoded_row(img.at(0, 0)), 239);
    EXPECT_EQ(decoded_row(img.at(0, 399)), 0);
    for (int row = 0; row < 240; ++row) EXPECT_TRUE(shown[row] == 1 || shown[row] == 2) << row;
}

TEST(StretchDIBits, ShrinkingCombinesOrDropsPixelsByStretchMode) {
    // One row of four pixels into two, and four rows of one into two.
    const uint32_t values[] = {0x0F0F0F, 0xF0F0F0, 0x3C3C3C, 0xFFFFFF};
    auto row = make_dib(4, 1, [&](int x, int) { return values[x]; });
    auto column = make_dib(1, 4, [&](int, int r) { return values[3 - r]; });  // top row first: values[0]
    BITMAPINFO row_info = dib(4, 1);
    BITMAPINFO column_info = dib(1, 4);
    struct Case {
        int mode;
        uint32_t first, second;
    };
    const Case cases[] = {{BLACKONWHITE, 0x000000, 0x3C3C3C},
                          {WHITEONBLACK, 0xFFFFFF, 0xFFFFFF},
                          {COLORONCOLOR, 0xF0F0F0, 0xFFFFFF}};
    for (const Case &c : cases) {
        HDC dc = headless_create_surface(2, 2);
        EXPECT_EQ(GetStretchBltMode(dc), BLACKONWHITE) << "the default";
        if (c.mode != BLACKONWHITE) {
            EXPECT_EQ(SetStretchBltMode(dc, c.mode), BLACKONWHITE);
        }
        StretchDIBits(dc, 0, 0, 2, 1, 0, 0, 4, 1, row.data(), &row_info, DIB_RGB_COLORS, SRCCOPY);
        StretchDIBits(dc, 0, 0, 1, 2, 0, 0, 1, 4, column.data(), &column_info, DIB_RGB_COLORS, SRCCOPY);
        HeadlessImage img = headless_read(dc);
        EXPECT_EQ(img.at(0, 0), c.first) << "mode " << c.mode;
        EXPECT_EQ(img.at(1, 0), c.second) << "mode " << c.mode;
        EXPECT_EQ(img.at(0, 1), c.second) << "mode " << c.mode;
    }
    HDC dc = headless_create_surface(2, 2);
    EXPECT_EQ(SetStretchBltMode(dc, 4), 0) << "not a mode of the layer";
    EXPECT_EQ(SetStretchBltMode(nullptr, COLORONCOLOR), 0);
    EXPECT_EQ(GetStretchBltMode(dc), BLACKONWHITE);
}

// StretchDIBits pixel by pixel, as its header describes it: what `before`
// becomes. Slow and plain, to hold the drawing's row and column maps to.
HeadlessImage plain_stretch(HeadlessImage before, int mode, int dest_x, int dest_y, int dest_w, int dest_h,
                            int src_x, int src_y, int src_w, int src_h,
                            const std::vector<unsigned char> &bits, int bitmap_w, int bitmap_h) {
    const long long span_w = src_w < 0 ? -src_w : src_w, span_h = src_h < 0 ? -src_h : src_h;
    const bool combine = mode != COLORONCOLOR && (span_w > dest_w || span_h > dest_h);
    auto meet = [&](long long i, long long source, long long dest, long long &first, long long &last) {
        if (!combine || source <= dest) {
            first = last = (2 * i + 1) * source / (2 * dest);
        } else {
            first = i * source / dest;
            last = (i + 1) * source / dest - 1;
        }
    };
    const size_t stride = (static_cast<size_t>(bitmap_w) * 3 + 3) & ~static_cast<size_t>(3);
    for (int y = 0; y < before.height; ++y) {
        for (int x = 0; x < before.width; ++x) {
            if (x < dest_x || x >= dest_x + dest_w || y < dest_y || y >= dest_y + dest_h) continue;
            long long t0, t1, u0, u1;
            meet(y - dest_y, span_h, dest_h, t0, t1);
            meet(x - dest_x, span_w, dest_w, u0, u1);
            unsigned char out[3] = {0, 0, 0};
            if (mode == BLACKONWHITE) out[0] = out[1] = out[2] = 0xff;
            bool any = false;
            for (long long t = t0; t <= t1; ++t) {
                long long r = src_h > 0 ? src_y + src_h - 1 - t : src_y + src_h + 1 + t;
                if (r < 0 || r >= bitmap_h) continue;
                for (long long u = u0; u <= u1; ++u) {
                    long long c = src_w > 0 ? src_x + u : src_x - u;
                    if (c < 0 || c >= bitmap_w) continue;
                    const unsigned char *p =
                        &bits[static_cast<size_t>(r) * stride + static_cast<size_t>(c) * 3];
                    for (int k = 0; k < 3; ++k)
                        out[k] = mode == WHITEONBLACK ? (out[k] | p[k]) : (out[k] & p[k]);
                    if (mode == COLORONCOLOR || !combine) std::copy(p, p + 3, out);
                    any = true;
                }
            }
            if (any) std::copy(out, out + 3, &before.pixels[(static_cast<size_t>(y) * before.width + x) * 3]);
        }
    }
    return before;
}

TEST(StretchDIBits, EveryModeDirectionAndClipGivesThePlainPixels) {
    std::mt19937 random(7);
    auto noise = [&](int, int) { return static_cast<uint32_t>(random() & 0xffffff); };
    struct Case {
        int bitmap_w, bitmap_h, surface_w, surface_h;
        int dest_x, dest_y, dest_w, dest_h, src_x, src_y, src_w, src_h;
    };
    const Case cases[] = {
        {640, 480, 360, 382, 0, 0, 360, 300, 0, 0, 640, 480},     // the default window
        {640, 480, 360, 382, 0, 0, 360, 300, 0, 479, 640, -480},  // upside down
        {321, 241, 200, 100, 0, 0, 200, 100, 0, 0, 321, 241},     // odd width, rows padded
        {100, 60, 300, 200, 0, 0, 300, 200, 0, 0, 100, 60},       // enlarging
        {100, 60, 80, 200, 0, 0, 80, 200, 0, 0, 100, 60},         // narrower but taller
        {30, 20, 40, 40, 0, 0, 7, 3, 0, 0, 30, 20},               // several pixels meet
        {50, 40, 60, 50, -9, -5, 40, 30, 0, 0, 50, 40},           // off the surface's top left
        {50, 40, 60, 50, 35, 30, 40, 30, 0, 0, 50, 40},           // off its bottom right
        {50, 40, 60, 50, 3, 4, 45, 35, -10, -6, 70, 55},          // source partly outside the bitmap
        {50, 40, 60, 50, 3, 4, 20, 25, 45, 30, -50, 40},          // mirrored both ways, partly outside
        {50, 40, 60, 50, 0, 0, 60, 50, 60, 50, 10, 10},           // source wholly outside
        {50, 40, 60, 50, 0, 0, 50, 40, 0, 0, 50, 40},             // the bitmap's own size
        {50, 40, 60, 50, -5, 2, 50, 40, 0, 39, 50, -40},          // own size, upside down, clipped
    };
    for (int mode : {BLACKONWHITE, WHITEONBLACK, COLORONCOLOR}) {
        for (const Case &c : cases) {
            auto bits = make_dib(c.bitmap_w, c.bitmap_h, noise);
            auto ground = make_dib(c.surface_w, c.surface_h, noise);
            BITMAPINFO info = dib(c.bitmap_w, c.bitmap_h);
            BITMAPINFO ground_info = dib(c.surface_w, c.surface_h);
            HDC dc = headless_create_surface(c.surface_w, c.surface_h);
            SetStretchBltMode(dc, COLORONCOLOR);
            StretchDIBits(dc, 0, 0, c.surface_w, c.surface_h, 0, 0, c.surface_w, c.surface_h, ground.data(),
                          &ground_info, DIB_RGB_COLORS, SRCCOPY);
            SetStretchBltMode(dc, mode);
            HeadlessImage before = headless_read(dc);
            StretchDIBits(dc, c.dest_x, c.dest_y, c.dest_w, c.dest_h, c.src_x, c.src_y, c.src_w, c.src_h,
                          bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
            HeadlessImage expected =
                plain_stretch(before, mode, c.dest_x, c.dest_y, c.dest_w, c.dest_h, c.src_x, c.src_y, c.src_w,
                              c.src_h, bits, c.bitmap_w, c.bitmap_h);
            EXPECT_TRUE(headless_read(dc).pixels == expected.pixels)
                << "mode " << mode << ", " << c.bitmap_w << "x" << c.bitmap_h << " into " << c.dest_w << "x"
                << c.dest_h << " at " << c.dest_x << "," << c.dest_y;
        }
    }
}

TEST(StretchDIBits, NegativeSourceHeightMirrorsTopToBottom) {
    auto bits = make_dib(4, 6, encode);
    BITMAPINFO info = dib(4, 6);
    HDC plain = headless_create_surface(4, 6);
    HDC mirrored = headless_create_surface(4, 6);
    StretchDIBits(plain, 0, 0, 4, 6, 0, 0, 4, 6, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    StretchDIBits(mirrored, 0, 0, 4, 6, 0, 5, 4, -6, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    HeadlessImage a = headless_read(plain);
    HeadlessImage b = headless_read(mirrored);
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 4; ++x) {
            EXPECT_EQ(a.at(x, y), encode(x, 5 - y));
            EXPECT_EQ(b.at(x, y), encode(x, y)) << "mirrored: row 0 on top";
        }
    }
}

TEST(StretchDIBits, ReadsRowsPaddedToFourBytes) {
    // 5 pixels = 15 bytes per row, padded to 16; the padding must not shift the rows.
    auto bits = make_dib(5, 3, encode);
    ASSERT_EQ(bits.size(), 48u);
    BITMAPINFO info = dib(5, 3);
    HDC dc = headless_create_surface(5, 3);
    StretchDIBits(dc, 0, 0, 5, 3, 0, 0, 5, 3, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    HeadlessImage img = headless_read(dc);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(img.at(x, y), encode(x, 2 - y));
}

TEST(StretchDIBits, ClipsToTheSurfaceAndRefusesWhatItCannotDraw) {
    auto bits = make_dib(2, 2, [](int, int) { return 0x123456u; });
    BITMAPINFO info = dib(2, 2);
    HDC dc = headless_create_surface(10, 10);
    // Mostly outside: only the overlap is drawn, nothing outside is touched.
    StretchDIBits(dc, -5, 7, 8, 8, 0, 0, 2, 2, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    HeadlessImage img = headless_read(dc);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            EXPECT_EQ(img.at(x, y), (x < 3 && y >= 7) ? 0x123456u : 0xffffffu) << x << "," << y;

    // A null DC, an empty or negative destination (a minimised window) draw nothing.
    EXPECT_EQ(StretchDIBits(nullptr, 0, 0, 4, 4, 0, 0, 2, 2, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), 0);
    HDC other = headless_create_surface(4, 4);
    EXPECT_EQ(StretchDIBits(other, 0, 0, 0, -82, 0, 0, 2, 2, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), 0);
    EXPECT_EQ(StretchDIBits(other, 0, 0, 4, 4, 0, 0, 2, 2, nullptr, &info, DIB_RGB_COLORS, SRCCOPY), 0);
    BITMAPINFO top_down = dib(2, -2);
    EXPECT_EQ(StretchDIBits(other, 0, 0, 4, 4, 0, 0, 2, 2, bits.data(), &top_down, DIB_RGB_COLORS, SRCCOPY),
              0);
    HeadlessImage untouched = headless_read(other);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(untouched.at(x, y), 0xffffffu);
}

TEST(Rectangle, BlackFrameWhiteFillClipped) {
    auto bits = make_dib(1, 1, [](int, int) { return 0x808080u; });
    BITMAPINFO info = dib(1, 1);
    HDC dc = headless_create_surface(8, 6);
    StretchDIBits(dc, 0, 0, 8, 6, 0, 0, 1, 1, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    ASSERT_TRUE(Rectangle(dc, 1, 1, 5, 4));
    // Right and bottom edges lie at right - 1 and bottom - 1; beyond stays grey.
    HeadlessImage img = headless_read(dc);
    const char *expected[] = {
        "gggggggg", "gbbbbggg", "gbwwbggg", "gbbbbggg", "gggggggg", "gggggggg",
    };
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x) {
            uint32_t want = expected[y][x] == 'b' ? 0x000000u : expected[y][x] == 'w' ? 0xffffffu : 0x808080u;
            EXPECT_EQ(img.at(x, y), want) << x << "," << y;
        }
    }
    // Partly off the surface: the visible part of the frame and fill, nothing else.
    ASSERT_TRUE(Rectangle(dc, 6, -3, 12, 3));
    img = headless_read(dc);
    EXPECT_EQ(img.at(6, 0), 0x000000u);
    EXPECT_EQ(img.at(7, 0), 0xffffffu);
    EXPECT_EQ(img.at(7, 2), 0x000000u) << "bottom edge at row 2";
    EXPECT_EQ(img.at(7, 3), 0x808080u);
}

TEST(TextOutA, BlackTextOnAnOpaqueWhiteCell) {
    HeadlessImage cell = text_image("Look at readme.txt for usage");
    // A cell of 16 rows, about as wide as 28 characters of a small font.
    EXPECT_EQ(cell.height, 16);
    EXPECT_GT(cell.width, 28 * 4);
    EXPECT_LT(cell.width, 28 * 10);
    int dark = 0;
    for (int y = 0; y < cell.height; ++y) {
        for (int x = 0; x < cell.width; ++x) {
            uint32_t c = cell.at(x, y);
            // Grey levels only: black text, antialiased edges, white cell.
            ASSERT_EQ(c & 0xff, (c >> 8) & 0xff);
            ASSERT_EQ(c & 0xff, (c >> 16) & 0xff);
            if ((c & 0xff) < 64) ++dark;
        }
    }
    EXPECT_GT(dark, 100);

    // Different text gives a different picture; the same text the same one.
    HeadlessImage again = text_image("Look at readme.txt for usage");
    EXPECT_EQ(again.pixels, cell.pixels);
    HeadlessImage other = text_image("Look at readme.txt for usagE");
    EXPECT_NE(other.pixels, cell.pixels);

    // UTF-8 shows its characters, beyond Latin-1 too; bytes that are not UTF-8 are Latin-1.
    EXPECT_EQ(text_image("Kam\xc3\xa9ra").pixels, text_image("Kam\xe9ra").pixels);
    const std::string lodz =
        "\xc5\x81\xc3\xb3"
        "d\xc5\xba";  // 4 characters in 7 bytes
    EXPECT_LT(text_image(lodz).width + text_image("\xff").width, text_image(lodz + "\xff").width);

    HDC dc = headless_create_surface(20, 20);
    EXPECT_TRUE(TextOutA(dc, 0, 0, "", 0));
    EXPECT_FALSE(TextOutA(dc, 0, 0, "x", -1));
    EXPECT_FALSE(TextOutA(nullptr, 0, 0, "x", 1));
    // Clipped at the surface's edges without harm.
    EXPECT_TRUE(TextOutA(dc, 15, 12, "Wide text", 9));
    EXPECT_TRUE(TextOutA(dc, -30, -10, "Wide text", 9));
}

TEST(TextOutADeathTest, WithoutFontsTheLineSayingSoCarriesTheProgramsName) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            test_support::TempDir dir;
            std::ofstream(dir.file("fonts.conf")) << "<fontconfig></fontconfig>\n";
            setenv("FONTCONFIG_FILE", dir.file("fonts.conf").c_str(), 1);
            text_image("x");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "lumivex: no usable system font found");
}

TEST(TextOutA, ARunDrawnAgainIsCopiedNotRasterisedAgain) {
    HDC dc = headless_create_surface(300, 60);
    const char *text = "Threshold1: 42.00";
    const int length = static_cast<int>(std::strlen(text));
    TextOutA(dc, 0, 0, text, length);
    const uint64_t once = lvx::text_runs_rasterised();
    HeadlessImage first = headless_read(dc);
    // Elsewhere, and clipped at the surface's left and bottom edges: the same
    // cell, copied, not laid out again.
    TextOutA(dc, 40, 20, text, length);
    TextOutA(dc, -7, 50, text, length);
    EXPECT_EQ(lvx::text_runs_rasterised(), once);
    HeadlessImage img = headless_read(dc);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 200; ++x) {
            ASSERT_EQ(img.at(40 + x, 20 + y), first.at(x, y)) << x << "," << y;
            if (y < 10 && x >= 7) {
                ASSERT_EQ(img.at(x - 7, 50 + y), first.at(x, y)) << x << "," << y;
            }
        }
    }
    // A changed text is laid out anew, and only once.
    TextOutA(dc, 0, 0, "Threshold1: 43.00", length);
    EXPECT_EQ(lvx::text_runs_rasterised(), once + 1);
    TextOutA(dc, 0, 20, "Threshold1: 43.00", length);
    TextOutA(dc, 0, 0, text, length);
    EXPECT_EQ(lvx::text_runs_rasterised(), once + 1);
    // Texts too long to keep are drawn all the same.
    std::string wide(300, 'W');
    TextOutA(dc, 0, 0, wide.c_str(), static_cast<int>(wide.size()));
    TextOutA(dc, 0, 0, wide.c_str(), static_cast<int>(wide.size()));
    EXPECT_EQ(lvx::text_runs_rasterised(), once + 3);
}

}  // namespace
