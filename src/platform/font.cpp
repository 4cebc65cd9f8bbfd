#include "platform/font.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

namespace lvx {
namespace {

const int pixel_size = 13;
const int fallback_advance = 7;

struct Glyph {
    int left = 0;  // from the pen position to the bitmap's left edge
    int top = 0;   // from the baseline up to the bitmap's top edge
    int width = 0;
    int rows = 0;
    int advance = fallback_advance;
    std::vector<uint8_t> coverage;  // width * rows, 0 (none) .. 255 (full)
};

class Font {
  public:
    Font() { load(); }
    ~Font() {
        if (face_) FT_Done_Face(face_);
        if (library_) FT_Done_FreeType(library_);
        FcFini();
    }
    Font(const Font &) = delete;
    Font &operator=(const Font &) = delete;

    bool usable() const { return face_ != nullptr; }
    int baseline() const { return baseline_; }

    const Glyph &glyph(unsigned char code) {
        std::unique_ptr<Glyph> &slot = glyphs_[code];
        if (!slot) slot = render(code);
        return *slot;
    }

  private:
    void load() {
        std::string file;
        int index = 0;
        if (FcInit()) {
            FcPattern *pattern = FcNameParse(reinterpret_cast<const FcChar8 *>("sans-serif"));
            if (pattern) {
                FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
                FcDefaultSubstitute(pattern);
                FcResult result = FcResultNoMatch;
                FcPattern *match = FcFontMatch(nullptr, pattern, &result);
                FcChar8 *path = nullptr;
                if (match && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch && path) {
                    file = reinterpret_cast<const char *>(path);
                    FcPatternGetInteger(match, FC_INDEX, 0, &index);
                }
                if (match) FcPatternDestroy(match);
                FcPatternDestroy(pattern);
            }
        }
        if (file.empty() || FT_Init_FreeType(&library_) != 0 ||
            FT_New_Face(library_, file.c_str(), index, &face_) != 0 ||
            FT_Set_Pixel_Sizes(face_, 0, pixel_size) != 0) {
            if (face_) FT_Done_Face(face_);
            face_ = nullptr;
            std::fprintf(stderr, "No usable system font found (fontconfig, FreeType): text shows as boxes\n");
            baseline_ = text_cell_height - 3;
            return;
        }
        FT_Select_Charmap(face_, FT_ENCODING_UNICODE);
        // Split the cell between ascent and descent in the font's own proportion.
        int ascender = std::max<int>(1, face_->ascender);
        int descender = std::max<int>(0, -face_->descender);
        baseline_ = (text_cell_height * ascender + (ascender + descender) / 2) / (ascender + descender);
    }

    std::unique_ptr<Glyph> render(unsigned char code) {
        auto g = std::make_unique<Glyph>();
        if (!face_) {
            // A hollow box on the baseline.
            g->left = 1;
            g->top = 9;
            g->width = fallback_advance - 2;
            g->rows = 9;
            g->coverage.assign(static_cast<size_t>(g->width) * g->rows, 0);
            for (int y = 0; y < g->rows; ++y) {
                for (int x = 0; x < g->width; ++x) {
                    if (x == 0 || y == 0 || x == g->width - 1 || y == g->rows - 1)
                        g->coverage[y * g->width + x] = 255;
                }
            }
            return g;
        }
        // Byte values are Latin-1, which are also their Unicode code points.
        if (FT_Load_Char(face_, code, FT_LOAD_RENDER) != 0) return g;
        FT_GlyphSlot slot = face_->glyph;
        const FT_Bitmap &bitmap = slot->bitmap;
        g->left = slot->bitmap_left;
        g->top = slot->bitmap_top;
        g->advance = static_cast<int>((slot->advance.x + 32) >> 6);
        if (bitmap.pixel_mode != FT_PIXEL_MODE_GRAY || !bitmap.buffer) return g;
        g->width = static_cast<int>(bitmap.width);
        g->rows = static_cast<int>(bitmap.rows);
        g->coverage.resize(static_cast<size_t>(g->width) * g->rows);
        int pitch = bitmap.pitch < 0 ? -bitmap.pitch : bitmap.pitch;
        for (int y = 0; y < g->rows; ++y) {
            const unsigned char *row =
                bitmap.pitch < 0 ? bitmap.buffer + (g->rows - 1 - y) * pitch : bitmap.buffer + y * pitch;
            std::copy_n(row, g->width, &g->coverage[static_cast<size_t>(y) * g->width]);
        }
        return g;
    }

    FT_Library library_ = nullptr;
    FT_Face face_ = nullptr;
    int baseline_ = 12;
    std::unique_ptr<Glyph> glyphs_[256];
};

std::mutex font_lock;

Font &font() {
    static Font instance;
    return instance;
}

}  // namespace

int draw_text(Surface &surface, int x, int y, const unsigned char *text, int length) {
    std::lock_guard<std::mutex> lock(font_lock);
    Font &f = font();
    int width = 0;
    for (int i = 0; i < length; ++i) width += f.glyph(text[i]).advance;

    // Clip the cell to the surface.
    int x0 = std::max(x, 0);
    int y0 = std::max(y, 0);
    int x1 = static_cast<int>(std::min<long long>(static_cast<long long>(x) + width, surface.width));
    int y1 =
        static_cast<int>(std::min<long long>(static_cast<long long>(y) + text_cell_height, surface.height));
    if (x1 <= x0 || y1 <= y0) return width;

    const size_t stride = static_cast<size_t>(surface.width) * 3;
    for (int row = y0; row < y1; ++row)
        std::fill_n(&surface.pixels[row * stride + x0 * 3], (x1 - x0) * 3, 0xff);

    int pen = x;
    int baseline = y + f.baseline();
    for (int i = 0; i < length; ++i) {
        const Glyph &g = f.glyph(text[i]);
        for (int gy = 0; gy < g.rows; ++gy) {
            int py = baseline - g.top + gy;
            if (py < y0 || py >= y1) continue;
            uint8_t *dst_row = &surface.pixels[py * stride];
            for (int gx = 0; gx < g.width; ++gx) {
                int px = pen + g.left + gx;
                if (px < x0 || px >= x1) continue;
                uint8_t level =
                    static_cast<uint8_t>(255 - g.coverage[static_cast<size_t>(gy) * g.width + gx]);
                uint8_t *p = dst_row + px * 3;
                // Black over white: the glyph's coverage darkens the cell; overlapping glyphs keep the
                // darker.
                p[0] = std::min(p[0], level);
                p[1] = std::min(p[1], level);
                p[2] = std::min(p[2], level);
            }
        }
        pen += g.advance;
    }
    return width;
}

}  // namespace lvx
