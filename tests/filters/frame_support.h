// Test frames: exact-size heap buffers (so AddressSanitizer catches any
// access past a frame) and helpers that set the filters' geometry.
#pragma once

#include <cstddef>
#include <memory>

#include "filters/filters.h"

const color_type kSentinel = {7, 77, 177};

inline bool operator==(const color_type &a, const color_type &b) {
    return a.b == b.b && a.g == b.g && a.r == b.r;
}
inline bool operator!=(const color_type &a, const color_type &b) { return !(a == b); }

inline color_type rgb(int r, int g, int b) {
    return color_type{static_cast<unsigned char>(b), static_cast<unsigned char>(g),
                      static_cast<unsigned char>(r)};
}
inline color_type grey(int v) { return rgb(v, v, v); }

// One frame of w x h pixels. Creating a frame also sets size_x and size_y.
struct Frame {
    unsigned int w, h;
    std::unique_ptr<color_type[]> pixels;

    Frame(unsigned int width, unsigned int height, color_type fill = kSentinel)
        : w(width), h(height), pixels(new color_type[static_cast<size_t>(width) * height]) {
        size_x = width;
        size_y = height;
        for (size_t i = 0; i < count(); ++i) pixels[i] = fill;
    }
    size_t count() const { return static_cast<size_t>(w) * h; }
    color_type *data() { return pixels.get(); }
    color_type &at(unsigned int x, unsigned int y) { return pixels[static_cast<size_t>(y) * w + x]; }
    template <class F>
    void fill(F f) {
        for (unsigned int y = 0; y < h; ++y)
            for (unsigned int x = 0; x < w; ++x) at(x, y) = f(x, y);
    }
    bool same_as(const Frame &o) const {
        for (size_t i = 0; i < count(); ++i)
            if (pixels[i] != o.pixels[i]) return false;
        return true;
    }
    void copy_from(const Frame &o) {
        for (size_t i = 0; i < count(); ++i) pixels[i] = o.pixels[i];
    }
};
