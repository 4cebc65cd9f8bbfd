#include "platform/font.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
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

    const Glyph &glyph(char32_t code) {
        std::unique_ptr<Glyph> &slot = code < 256 ? glyphs_[code] : wide_glyphs_[code];
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
            std::fprintf(
                stderr, "lumivex: no usable system font found (fontconfig, FreeType): text shows as boxes\n");
            baseline_ = text_cell_height - 3;
            return;
        }
        FT_Select_Charmap(face_, FT_ENCODING_UNICODE);
        // Split the cell between ascent and descent in the font's own proportion.
        int ascender = std::max<int>(1, face_->ascender);
        int descender = std::max<int>(0, -face_->descender);
        baseline_ = (text_cell_height * ascender + (ascender + descender) / 2) / (ascender + descender);
    }

    std::unique_ptr<Glyph> render(char32_t code) {
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
    std::map<char32_t, std::unique_ptr<Glyph>> wide_glyphs_;
};

std::mutex font_lock;

Font &font() {
    static Font instance;
    return instance;
}

// A run of text as its cell shows it: one grey level per pixel (the text is
// black on white, so the three bytes of a pixel are equal), width x
// text_cell_height, top row first. The cell does not depend on where it is
// drawn nor on what was under it, and the font never changes, so a run drawn
// again (a status line on every frame, even after it scrolled to another
// slot) is copied rather than laid out and rasterised again.
struct Run {
    std::string text;
    int width = 0;
    std::vector<uint8_t> levels;
    uint64_t last_use = 0;
};

// The five status lines and the FPS figure, with room to spare; the least
// recently drawn run makes way for a new one. Longer texts are not kept.
const size_t cached_runs = 16;
const int longest_cached_run = 256;
Run runs[cached_runs];
Run uncached_run;
uint64_t use_clock = 0;
std::atomic<uint64_t> rasterised{0};

// The length of the UTF-8 sequence at text[i], or 0 when there is none
// there (a stray byte, an overlong form, a surrogate, beyond U+10FFFF).
int utf8_length(const unsigned char *text, int length, int i, char32_t &code) {
    unsigned char b = text[i];
    int n = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > length) return 0;
    code = n == 1 ? b : b & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (text[i + k] & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[n] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
    return n;
}

bool is_utf8(const unsigned char *text, int length) {
    char32_t code;
    for (int i = 0, n; i < length; i += n) {
        n = utf8_length(text, length, i, code);
        if (n == 0) return false;
    }
    return true;
}

// The character at text[i] and the bytes it takes: UTF-8, or one Latin-1
// byte each when the text is not UTF-8.
int next_char(const unsigned char *text, int length, int i, bool utf8, char32_t &code) {
    if (utf8) return utf8_length(text, length, i, code);
    code = text[i];
    return 1;
}

void rasterise(Font &f, Run &run, const unsigned char *text, int length) {
    ++rasterised;
    run.text.assign(reinterpret_cast<const char *>(text), static_cast<size_t>(length));
    const bool utf8 = is_utf8(text, length);
    char32_t code = 0;
    int width = 0;
    for (int i = 0, n; i < length; i += n) {
        n = next_char(text, length, i, utf8, code);
        width += f.glyph(code).advance;
    }
    run.width = std::max(width, 0);
    run.levels.assign(static_cast<size_t>(run.width) * text_cell_height, 0xff);
    int pen = 0;
    for (int i = 0, n; i < length; i += n) {
        n = next_char(text, length, i, utf8, code);
        const Glyph &g = f.glyph(code);
        for (int gy = 0; gy < g.rows; ++gy) {
            int py = f.baseline() - g.top + gy;
            if (py < 0 || py >= text_cell_height) continue;
            uint8_t *row = &run.levels[static_cast<size_t>(py) * run.width];
            for (int gx = 0; gx < g.width; ++gx) {
                int px = pen + g.left + gx;
                if (px < 0 || px >= run.width) continue;
                uint8_t level =
                    static_cast<uint8_t>(255 - g.coverage[static_cast<size_t>(gy) * g.width + gx]);
                // The glyph's coverage darkens the cell; overlapping glyphs keep the darker.
                row[px] = std::min(row[px], level);
            }
        }
        pen += g.advance;
    }
}

// The run for this text, rasterised now if it is not kept. font_lock held.
const Run &run_of(const unsigned char *text, int length) {
    Font &f = font();
    if (length > longest_cached_run) {
        rasterise(f, uncached_run, text, length);
        return uncached_run;
    }
    ++use_clock;
    Run *oldest = &runs[0];
    for (Run &run : runs) {
        if (run.last_use != 0 && run.text.size() == static_cast<size_t>(length) &&
            std::memcmp(run.text.data(), text, static_cast<size_t>(length)) == 0) {
            run.last_use = use_clock;
            return run;
        }
        if (run.last_use < oldest->last_use) oldest = &run;
    }
    rasterise(f, *oldest, text, length);
    oldest->last_use = use_clock;
    return *oldest;
}

}  // namespace

int draw_text(Surface &surface, int x, int y, const unsigned char *text, int length) {
    std::lock_guard<std::mutex> lock(font_lock);
    const Run &run = run_of(text, length);

    // Clip the cell to the surface.
    int x0 = std::max(x, 0);
    int y0 = std::max(y, 0);
    int x1 = static_cast<int>(std::min<long long>(static_cast<long long>(x) + run.width, surface.width));
    int y1 =
        static_cast<int>(std::min<long long>(static_cast<long long>(y) + text_cell_height, surface.height));
    if (x1 <= x0 || y1 <= y0) return run.width;

    const size_t stride = static_cast<size_t>(surface.width) * 3;
    for (int row = y0; row < y1; ++row) {
        const uint8_t *levels = &run.levels[static_cast<size_t>(row - y) * run.width + (x0 - x)];
        uint8_t *p = &surface.pixels[row * stride + static_cast<size_t>(x0) * 3];
        for (int i = 0; i < x1 - x0; ++i, p += 3) p[0] = p[1] = p[2] = levels[i];
    }
    return run.width;
}

uint64_t text_runs_rasterised() { return rasterised.load(); }

}  // namespace lvx
