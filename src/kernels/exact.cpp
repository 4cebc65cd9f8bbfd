// The exact integer forms of the filters' decisions and the tables behind
// them (see exact.h). Each is worked out on first use in a function-local
// static, so a program pays for the ones it needs, after main has started.
#include "kernels/exact.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

namespace kernels {

namespace {

// Smallest q in 0 .. max_square_sum for which pred holds, pred being
// monotone (false ... false true ... true); max_square_sum + 1 if none.
template <class P>
uint32_t first_sum(P pred) {
    uint32_t lo = 0, hi = max_square_sum + 1;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (pred(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

// ---- Direction table -------------------------------------------------------
//
// The combo level is L(r) = trunc((atan(r) + pi/2) / pi * 255) for r = gy/gx.
// The exact function f(r) = (atan(r) + pi/2) / pi * 255 rises monotonically,
// and the double arithmetic (atan within an ulp or so, three roundings)
// stays within 1e-12 of it; so L(r) = floor(f(r)) wherever f(r) is further
// than that from an integer. The table splits r by its top bits into buckets
// (the sign, the exponent and the first 12 bits of the mantissa). A bucket is
// given a level only when no step of L, found by bisection with the reference
// arithmetic itself, lies within a relative 2^-20 of the bucket; there f(r)
// keeps at least 1e-9 away from every integer (f rises by that much over a
// relative 2^-20 for 2^-8 <= |r| <= 2^16), so the level is exact. Every
// other bucket holds 255 and the caller uses the reference arithmetic, as
// it does for |r| >= 2^16.

// Doubles in numeric order as 64-bit keys (-0 and +0 share key 0).
int64_t order_key(double x) {
    int64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits >= 0 ? bits : -(bits & 0x7FFFFFFFFFFFFFFFll);
}

double from_key(int64_t key) {
    const int64_t bits = key >= 0 ? key : ((-key) | static_cast<int64_t>(0x8000000000000000ull));
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

double from_bits(uint64_t bits) {
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

const size_t direction_table_size = 2 * (static_cast<size_t>(direction_buckets) + 2) + 3;  // +3: 4-byte gathers

struct direction_builder {
    unsigned char table[direction_table_size];

    direction_builder() {
        count_proof();
        std::memset(table, 255, sizeof table);
        const double limit = std::ldexp(1.0, direction_max_exponent);
        const int64_t lo_key = order_key(-limit), hi_key = order_key(limit);
        const double infinity = std::numeric_limits<double>::infinity();

        // steps[j - 1]: smallest r in [-limit, limit] with level >= j.
        double steps[255];
        for (int j = 1; j <= 255; ++j) {
            if (direction_level_reference(-limit) >= j) {
                steps[j - 1] = -infinity;
                continue;
            }
            if (direction_level_reference(limit) < j) {
                steps[j - 1] = infinity;
                continue;
            }
            int64_t lo = lo_key, hi = hi_key;  // level(lo) < j <= level(hi)
            // The span of keys exceeds int64: halve it unsigned.
            while (static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo) > 1) {
                const int64_t mid =
                    static_cast<int64_t>(static_cast<uint64_t>(lo) + (static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo)) / 2);
                if (direction_level_reference(from_key(mid)) >= j)
                    hi = mid;
                else
                    lo = mid;
            }
            steps[j - 1] = from_key(hi);
        }
        // A libm whose atan is not monotone here would break the premise:
        // leave every bucket to the reference arithmetic then.
        for (int j = 1; j < 255; ++j)
            if (steps[j] < steps[j - 1]) return;

        const double guard = std::ldexp(1.0, -20);
        // Level for every r in [a, b], or 255 when a step is near.
        auto level_between = [&](double a, double b) -> unsigned char {
            const double ga = a - std::fabs(a) * guard, gb = b + std::fabs(b) * guard;
            const double *first_not_below = std::lower_bound(steps, steps + 255, ga);
            if (first_not_below != steps + 255 && *first_not_below <= gb) return 255;
            return static_cast<unsigned char>(first_not_below - steps);
        };

        const uint64_t bucket_bits = uint64_t(1) << (52 - direction_mantissa_bits);
        const uint64_t first_bits = static_cast<uint64_t>(1023 + direction_min_exponent) << 52;
        const double tiny = from_bits(first_bits);
        const unsigned char tiny_level = level_between(-tiny, tiny);
        const size_t half = static_cast<size_t>(direction_buckets) + 2;
        table[0] = table[half] = tiny_level;
        for (int t = 0; t < direction_buckets; ++t) {
            const uint64_t low = first_bits + static_cast<uint64_t>(t) * bucket_bits;
            const double m_lo = from_bits(low), m_hi = from_bits(low + bucket_bits - 1);
            table[1 + t] = level_between(m_lo, m_hi);
            table[half + 1 + t] = level_between(-m_hi, -m_lo);
        }
        // table[half - 1] and table[2 * half - 1] (|r| >= 2^16) stay 255.
    }
};

// ---- Checks ------------------------------------------------------------------

std::atomic<unsigned int> proofs{0};

bool check_gauss_quotient() {
    count_proof();
    const double factor = 1.0 / 159.0;
    for (uint32_t s = 0; s <= gauss_max_sum; ++s)
        if (truncate_to_byte(factor * static_cast<double>(s) + 0.0) != s / 159) return false;
    return true;
}

canny_bounds make_canny_bounds() {
    const double steep = 2.1943 * 65536.0, diagonal = 0.4142 * 65536.0;
    return {static_cast<int64_t>(std::floor(steep)), static_cast<int64_t>(std::ceil(-steep)),
            static_cast<int64_t>(std::floor(diagonal)), static_cast<int64_t>(std::ceil(-diagonal))};
}

}  // namespace

void count_proof() { proofs.fetch_add(1, std::memory_order_relaxed); }

unsigned int proofs_run() { return proofs.load(std::memory_order_relaxed); }

const unsigned char *direction_table() {
    static const direction_builder built;
    return built.table;
}

uint32_t first_sum_above(double threshold) {
    return first_sum([threshold](uint32_t q) { return length_of_sum(q) > threshold; });
}

uint32_t first_sum_not_below(double threshold) {
    return first_sum([threshold](uint32_t q) { return !(length_of_sum(q) < threshold); });
}

bool gauss_quotient_exact() {
    static const bool exact = check_gauss_quotient();
    return exact;
}

uint32_t tracking_min_sum() {
    static const uint32_t bound = [] {
        count_proof();
        return first_sum([](uint32_t q) { return !(length_of_sum(q) < 44.2); });
    }();
    return bound;
}

unsigned char direction_level_of(double r) { return direction_level(direction_table(), r); }

unsigned char direction_level_of_reference(double r) { return direction_level_reference(r); }

float direction_estimate(float gx, float gy) {
    const float ax = std::fabs(gx), ay = std::fabs(gy);
    const float t = std::fmin(ax, ay) / std::fmax(ax, ay), z = t * t;
    float poly = direction_atan[8];
    for (int k = 7; k >= 0; --k) poly = std::fma(poly, z, direction_atan[k]);
    float angle = poly * t;
    if (ay > ax) angle = 1.57079632679f - angle;
    if (std::signbit(gx) != std::signbit(gy)) angle = -angle;
    return std::fma(angle, 81.1690209769f, 127.5f);
}

const canny_bounds &suppression_bounds() {
    static const canny_bounds bounds = make_canny_bounds();
    return bounds;
}

int64_t magnitude_bound(double threshold) {
    if (std::isnan(threshold) || threshold >= 4294967295.0) return 4294967295ll;
    if (threshold < 0.0) return -1;
    return static_cast<int64_t>(std::floor(threshold));
}

}  // namespace kernels
