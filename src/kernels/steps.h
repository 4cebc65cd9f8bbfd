// The per-pixel steps of the filters, defined once: the reference filters
// (src/filters/*_reference.cpp) and the portable kernels both call these, so
// each step's C arithmetic exists in one place. The vector kernels compute
// the same values several lanes at a time.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "common/pixel.h"

namespace kernels {
namespace {  // internal linkage: the x86 files compile this header for their own targets

// Truncates toward zero, then saturates to 0..255. Decided in double before
// the conversion so that no out-of-range value is ever converted to int
// (trunc(v) > 255 exactly when v >= 256, trunc(v) < 0 exactly when v <= -1;
// anything in (-1, 0) truncates to 0). NaN gives 0.
inline unsigned char truncate_to_byte(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 255.0) return 255;
    return static_cast<unsigned char>(static_cast<int>(v));
}

// Saturates an integer to 0..255.
inline uint8_t clamp_byte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// b^2 + g^2 + r^2 of a pixel, in integers.
inline uint32_t square_sum(const color_type &p) {
    return static_cast<uint32_t>(p.b * p.b + p.g * p.g + p.r * p.r);
}

// The colour length of a sum of squares: the root in double.
inline double length_of_sum(uint32_t q) { return std::sqrt(static_cast<double>(q)); }

// |gy| * 65536 / gx truncated toward zero. A quotient too large for 32 bits
// (gx tiny but not zero) saturates with the sign of gx: it stays steep, and
// like every other ratio it carries the sign of gx alone.
inline int32_t fixed_ratio(double gx, double gy) {
    if (gx == 0.0) return 0;
    const double q = std::fabs(gy) * 65536.0 / gx;
    if (q >= 2147483648.0) return INT32_MAX;
    if (q <= -2147483649.0) return INT32_MIN;
    return static_cast<int32_t>(q);
}

// Grey level of a gradient direction from the quotient r = gy / gx:
// (atan(r) + pi/2) / pi * 255, truncated.
inline unsigned char direction_level_reference(double r) {
    const double half_pi = 1.5707963267948966;
    const double pi = 3.141592653589793;
    return truncate_to_byte((std::atan(r) + half_pi) / pi * 255);
}

// 5 * (|c - right| + |c - below|) for one channel, saturated at 255.
inline uint8_t edge_value(int c, int right, int below) {
    const int v = 5 * (std::abs(c - right) + std::abs(c - below));
    return static_cast<uint8_t>(v > 255 ? 255 : v);
}

// Tracking: the change between a pixel and its last value, the distance
// truncated, and 0 below 44.2.
inline unsigned int tracking_change(const color_type &s, const color_type &l) {
    const int dr = s.r - l.r, dg = s.g - l.g, db = s.b - l.b;
    double d = std::sqrt(static_cast<double>(dr * dr + dg * dg + db * db));
    if (d < 44.2) d = 0.0;
    return static_cast<unsigned int>(d);
}

// One channel of the RC filter: the running value moves 1% of the way to
// camera byte `x` (single-precision weights, the sum in double, stored as a
// float clamped to 0..255); the shown byte is the stored value truncated.
inline unsigned char rc_update(float &state, unsigned char x) {
    const double s = static_cast<double>(state) * static_cast<double>(0.99f) +
                     static_cast<double>(x) * static_cast<double>(0.01f);
    float stored = static_cast<float>(s);
    if (stored < 0.0f) stored = 0.0f;
    if (stored > 255.0f) stored = 255.0f;
    state = stored;
    return static_cast<unsigned char>(stored);
}

}  // namespace
}  // namespace kernels
