// From a window's surface to its screen: a finished update is copied whole
// into the backend's image of the window, in the display's pixel format.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/internal.h"
#include "platform/trace.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LVX_SCREEN_SSSE3 1
#else
#define LVX_SCREEN_SSSE3 0
#endif

namespace lvx {
namespace {

// n pixels of blue, green, red bytes to 4-byte pixels (blue, green, red, 0xff;
// or red, green, blue, 0xff), one source pixel to `repeat` screen pixels.
void expand_plain(const uint8_t *src, uint8_t *dst, int n, bool red_first, int repeat) {
    const int b = red_first ? 2 : 0;
    const int r = red_first ? 0 : 2;
    for (int i = 0; i < n; ++i, src += 3) {
        for (int k = 0; k < repeat; ++k, dst += 4) {
            dst[b] = src[0];
            dst[1] = src[1];
            dst[r] = src[2];
            dst[3] = 0xff;
        }
    }
}

#if LVX_SCREEN_SSSE3
// Four pixels per shuffle: 16 bytes are read for 12, so the vector loop
// stops where that would pass the end of the row's pixels.
__attribute__((target("ssse3"))) void expand_ssse3(const uint8_t *src, uint8_t *dst, int n, bool red_first) {
    const __m128i order = red_first ? _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                                    : _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xff000000u));
    int i = 0;
    for (; i + 6 <= n; i += 4) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 4 * i),
                         _mm_or_si128(_mm_shuffle_epi8(v, order), opaque));
    }
    expand_plain(src + 3 * i, dst + 4 * i, n - i, red_first, 1);
}

// Eight pixels per shuffle, four in each half; the same stop for 28 bytes
// read of 24.
__attribute__((target("avx2"))) void expand_avx2(const uint8_t *src, uint8_t *dst, int n, bool red_first) {
    const __m256i order = red_first ? _mm256_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1,
                                                       2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1)
                                    : _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                                       0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i opaque = _mm256_set1_epi32(static_cast<int>(0xff000000u));
    int i = 0;
    for (; i + 10 <= n; i += 8) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * i + 12));
        const __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * i),
                            _mm256_or_si256(_mm256_shuffle_epi8(v, order), opaque));
    }
    expand_ssse3(src + 3 * i, dst + 4 * i, n - i, red_first);
}

enum class Level { plain, ssse3, avx2 };
Level level() {
    static const Level l = __builtin_cpu_supports("avx2")    ? Level::avx2
                           : __builtin_cpu_supports("ssse3") ? Level::ssse3
                                                             : Level::plain;
    return l;
}
#endif

void expand_row(const uint8_t *src, uint8_t *dst, int n, bool red_first, int repeat) {
#if LVX_SCREEN_SSSE3
    if (repeat == 1 && level() == Level::avx2) {
        expand_avx2(src, dst, n, red_first);
        return;
    }
    if (repeat == 1 && level() == Level::ssse3) {
        expand_ssse3(src, dst, n, red_first);
        return;
    }
#endif
    expand_plain(src, dst, n, red_first, repeat);
}

}  // namespace

void show_surface(const Surface &surface, Screen &screen) {
    if (!screen.pixels || surface.width <= 0 || surface.height <= 0) return;
    const int k = std::max(1, screen.scale);
    // Whole surface pixels that fit; a part of one at the right or bottom
    // edge of a larger screen stays as it was.
    const int columns = std::min(surface.width, screen.width / k);
    const int rows = std::min(surface.height, screen.height / k);
    if (columns <= 0 || rows <= 0) return;
    const size_t src_stride = static_cast<size_t>(surface.width) * 3;
    const size_t bytes = static_cast<size_t>(columns) * k * 4;
    for (int y = 0; y < rows; ++y) {
        uint8_t *dst = screen.pixels + static_cast<size_t>(y) * k * screen.pitch;
        expand_row(&surface.pixels[y * src_stride], dst, columns, screen.red_first, k);
        for (int r = 1; r < k; ++r) std::memcpy(dst + r * screen.pitch, dst, bytes);
    }
}

void publish(Window &window) {
    {
        std::lock_guard<std::mutex> shown(window.screen.lock);
        Screen &screen = window.screen;
        if (!screen.pixels) return;
        {
            std::lock_guard<std::mutex> drawn(window.surface.lock);
            show_surface(window.surface, screen);
        }
        trace_published(screen);
        screen.fresh = true;
    }
    backend().published(window);
}

}  // namespace lvx
