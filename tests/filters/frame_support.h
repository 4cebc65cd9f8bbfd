// Test frames: exact-size heap buffers (so AddressSanitizer catches any
// access past a frame) and a frame set that owns them and the stateful
// filters' buffers.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>

#include "filters/canny.h"
#include "filters/filters.h"
#include "filters/rc_filter.h"

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

// One frame of w x h pixels.
struct Frame {
    unsigned int w, h;
    std::unique_ptr<color_type[]> pixels;

    Frame(unsigned int width, unsigned int height, color_type fill = kSentinel)
        : w(width), h(height), pixels(new color_type[static_cast<size_t>(width) * height]) {
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

// The frame set the filters are given, holding the frames a test makes
// with it: making a frame sets the geometry to the frame's size. Canny's
// and the RC filter's buffers are released with the set.
struct Frames : frame_set {
    Frames() = default;
    Frames(const Frames &) = delete;
    Frames &operator=(const Frames &) = delete;
    ~Frames() {
        canny_stop(*this);
        rc_filter_stop(*this);
    }
    void resize(unsigned int width, unsigned int height) {
        size_x = width;
        size_y = height;
    }
    // A frame of the new geometry, kept until the set goes.
    Frame &frame(unsigned int width, unsigned int height, color_type fill = kSentinel) {
        resize(width, height);
        owned.emplace_back(width, height, fill);
        return owned.back();
    }
    // last_frame or save_frame as a frame of the new geometry.
    Frame &last(unsigned int width, unsigned int height, color_type fill = kSentinel) {
        Frame &f = frame(width, height, fill);
        last_frame = f.data();
        return f;
    }
    Frame &save(unsigned int width, unsigned int height, color_type fill = kSentinel) {
        Frame &f = frame(width, height, fill);
        save_frame = f.data();
        return f;
    }

    std::deque<Frame> owned;
};
