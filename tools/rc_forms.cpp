// Exhaustive check of single-precision forms of the RC filter's update
// against the double-precision update it must reproduce bit for bit
// (kernels/steps.h, rc_update):
//
//   s' = float(double(s) * double(0.99f) + double(x) * double(0.01f)),
//   clamped to [0, 255], for the state s and the camera byte x.
//
// Domain. The running values start at +0 (rc_filter_start) and every update
// stores a float in [+0, 255], never -0 (the sum of two non-negative
// products is +0 or more) nor NaN. So every state the filter can reach is
// one of the 1 132 396 545 floats from +0 to 255 (bit patterns 0 to
// 0x437f0000), and the program checks each of them with each of the 256
// camera bytes: 289 893 515 520 pairs, 8 states a step (AVX2).
//
// The forms, with 0.99f = a and 0.01f = b = d + c split into d = 81 * 2^-13
// and c = 60293 * 2^-29, so that x * d and x * c are exact floats:
//
//   fma    fmaf(s, a, float(x * b)): one fused operation, x * b rounded.
//   split  fmaf(x, d, fmaf(s, a, x * c)): q = RN(s*a + x*c), then q + x*d
//          rounded. x * d is a multiple of 2^-13, so of the spacing of the
//          floats below 1024: where q and the result lie between the same
//          powers of two, the second rounding only shifts q by a whole
//          number of steps, and the result is RN(s*a + x*b). Where the
//          result crosses a power of two its spacing is coarser than q's and
//          q may sit exactly half-way between two results (two roundings).
//          The program counts both kinds, and checks the claim that pairs
//          crossing no power of two always match.
//   nudge  the split form with the second rounding told which side of q the
//          exact sum s*a + x*c lies: e = s*a + x*c - q has the sign of
//          ((p - q) + x*c) - (p - s*a) with p = RN(s*a), where p - s*a is
//          exact (fused) and p - q and the sum with x*c are exact for
//          q >= x/32; the result is fmaf(x, d + sign(e) * 2^-30, q). The
//          nudge x * 2^-30 stays under half a step of q when q >= x/32, so
//          it only decides ties that the rounding of q hid. Below that
//          bound (states much darker than the camera) the form leaves the
//          pair to the double update; the program counts those pairs and
//          checks every other one.
//
//   lumivex_rc_forms [FIRST LAST] [--threads N]
//
// FIRST and LAST bound the states checked, as bit patterns in hexadecimal
// (default 0 and 437f0000: the whole domain); a small range checks quickly.
// Prints the pairs checked, per form the mismatches with the first few
// examples, and the time taken. Exit status: 0 when the split form away from
// power-of-two crossings and the nudge form matched every pair they cover,
// 1 if not, 2 on a usage error or without AVX2 and FMA.
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kernels/steps.h"

namespace {

const float kKeep = 0.99f, kTake = 0.01f;
const float kTakeHigh = 81.0f / 8192.0f;                           // d = 81 * 2^-13
const float kTakeLow = static_cast<float>(60293.0 / 536870912.0);  // c = 60293 * 2^-29
const uint32_t kLastState = 0x437f0000u;                           // 255.0f
const int kForms = 4;
const char *const kFormNames[kForms] = {"fma", "split", "split, no crossing", "nudge"};

float from_bits(uint32_t u) {
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}
uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

struct Example {
    uint32_t state;
    int x;
    float reference, form;
};

struct Tally {
    uint64_t pairs = 0;
    uint64_t covered[kForms] = {};  // pairs each form claims
    uint64_t wrong[kForms] = {};
    uint64_t reference_checked = 0, reference_wrong = 0;
    std::vector<Example> examples[kForms];
    void add(const Tally &o) {
        pairs += o.pairs;
        reference_checked += o.reference_checked;
        reference_wrong += o.reference_wrong;
        for (int f = 0; f < kForms; ++f) {
            covered[f] += o.covered[f];
            wrong[f] += o.wrong[f];
            examples[f].insert(examples[f].end(), o.examples[f].begin(), o.examples[f].end());
        }
    }
};

const size_t kExamples = 4;

#define LUMIVEX_AVX2 __attribute__((target("avx2,fma")))

// Per camera byte, the terms every form needs.
struct ByteTerms {
    __m256d take;             // x * double(b), exact
    __m256 x, rounded_take;   // x; float(x * b)
    __m256 low, high, bound;  // x * c, x * d (both exact); x / 32
};

LUMIVEX_AVX2 inline __m256 clamp(__m256 v) {
    return _mm256_min_ps(_mm256_set1_ps(255.0f), _mm256_max_ps(_mm256_setzero_ps(), v));
}

LUMIVEX_AVX2 inline void check_block(uint32_t first, unsigned lanes, const ByteTerms *terms, Tally &t) {
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i state_bits = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(first)), lane_index);
    const __m256 s = _mm256_castsi256_ps(state_bits);
    const int valid = (1 << lanes) - 1;
    const __m256 a = _mm256_set1_ps(kKeep);
    // The reference's product, exact in double; the nudge's p and p - s*a.
    const __m256d keep_lo =
        _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(s)), _mm256_set1_pd(static_cast<double>(kKeep)));
    const __m256d keep_hi = _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(s, 1)),
                                          _mm256_set1_pd(static_cast<double>(kKeep)));
    const __m256 p = _mm256_mul_ps(s, a);
    const __m256 p_minus_exact = _mm256_fnmadd_ps(s, a, p);
    const __m256i nudge_base = _mm256_set1_epi32(static_cast<int>(bits_of(kTakeHigh)));

    for (int x = 0; x < 256; ++x) {
        const ByteTerms &b = terms[x];
        const __m128 lo = _mm256_cvtpd_ps(_mm256_add_pd(keep_lo, b.take));
        const __m128 hi = _mm256_cvtpd_ps(_mm256_add_pd(keep_hi, b.take));
        const __m256 reference = clamp(_mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1));

        __m256 form[kForms];
        int claims[kForms];
        form[0] = clamp(_mm256_fmadd_ps(s, a, b.rounded_take));
        claims[0] = valid;
        const __m256 q = _mm256_fmadd_ps(s, a, b.low);
        const __m256 split = _mm256_add_ps(q, b.high);
        form[1] = clamp(split);
        claims[1] = valid;
        // Same exponent field: q and the result between the same powers of two.
        const __m256i exponents_differ =
            _mm256_cmpgt_epi32(_mm256_xor_si256(_mm256_castps_si256(q), _mm256_castps_si256(split)),
                               _mm256_set1_epi32(0x007fffff));
        form[2] = form[1];
        claims[2] = valid & ~_mm256_movemask_ps(_mm256_castsi256_ps(exponents_differ));
        // The sign of e = (s*a + x*c) - q, as two masks, moves d by one step.
        const __m256 e_part = _mm256_add_ps(_mm256_sub_ps(p, q), b.low);
        const __m256i above = _mm256_castps_si256(_mm256_cmp_ps(e_part, p_minus_exact, _CMP_GT_OQ));
        const __m256i below = _mm256_castps_si256(_mm256_cmp_ps(e_part, p_minus_exact, _CMP_LT_OQ));
        const __m256 nudged_high =
            _mm256_castsi256_ps(_mm256_add_epi32(_mm256_sub_epi32(nudge_base, above), below));
        form[3] = clamp(_mm256_fmadd_ps(b.x, nudged_high, q));
        claims[3] = valid & _mm256_movemask_ps(_mm256_cmp_ps(q, b.bound, _CMP_GE_OQ));

        t.pairs += lanes;
        for (int f = 0; f < kForms; ++f) {
            const __m256i same =
                _mm256_cmpeq_epi32(_mm256_castps_si256(form[f]), _mm256_castps_si256(reference));
            const int wrong = claims[f] & ~_mm256_movemask_ps(_mm256_castsi256_ps(same));
            t.covered[f] += static_cast<unsigned>(__builtin_popcount(claims[f]));
            if (!wrong) continue;
            t.wrong[f] += static_cast<unsigned>(__builtin_popcount(wrong));
            if (t.examples[f].size() < kExamples) {
                alignas(32) float r[8], v[8];
                _mm256_store_ps(r, reference);
                _mm256_store_ps(v, form[f]);
                for (int l = 0; l < 8 && t.examples[f].size() < kExamples; ++l)
                    if (wrong >> l & 1) t.examples[f].push_back({first + l, x, r[l], v[l]});
            }
        }
        // One lane a step against the scalar update itself.
        if (x == static_cast<int>(first / 8 % 256)) {
            float scalar = from_bits(first);
            kernels::rc_update(scalar, static_cast<unsigned char>(x));
            ++t.reference_checked;
            if (bits_of(scalar) != bits_of(_mm256_cvtss_f32(reference))) ++t.reference_wrong;
        }
    }
}

// States first..end-1 (bit patterns) with every camera byte.
LUMIVEX_AVX2 void check_range(uint64_t first, uint64_t end, Tally &t) {
    ByteTerms terms[256];
    for (int x = 0; x < 256; ++x) {
        const float xf = static_cast<float>(x);
        terms[x].take = _mm256_set1_pd(x * static_cast<double>(kTake));
        terms[x].x = _mm256_set1_ps(xf);
        terms[x].rounded_take = _mm256_set1_ps(xf * kTake);
        terms[x].low = _mm256_set1_ps(xf * kTakeLow);
        terms[x].high = _mm256_set1_ps(xf * kTakeHigh);
        terms[x].bound = _mm256_set1_ps(xf / 32.0f);
    }
    for (uint64_t b = first; b < end; b += 8)
        check_block(static_cast<uint32_t>(b), static_cast<unsigned>(std::min<uint64_t>(8, end - b)), terms,
                    t);
}

// The splits the forms rely on: b = d + c, and x * d, x * c exact floats.
bool splits_hold() {
    if (static_cast<double>(kTakeHigh) + static_cast<double>(kTakeLow) != static_cast<double>(kTake))
        return false;
    for (int x = 0; x < 256; ++x) {
        const double xd = x;
        if (static_cast<double>(static_cast<float>(x) * kTakeHigh) != xd * kTakeHigh) return false;
        if (static_cast<double>(static_cast<float>(x) * kTakeLow) != xd * kTakeLow) return false;
    }
    return true;
}

std::string describe(float f) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g (%08" PRIx32 ")", static_cast<double>(f), bits_of(f));
    return text;
}

bool parse_hex(const char *text, uint32_t &out) {
    char *end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 16);
    if (!*text || *end || v > 0xffffffffull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    uint32_t first = 0, last = kLastState;
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<const char *> bounds;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = static_cast<unsigned>(std::atoi(argv[++i]));
            continue;
        }
        bounds.push_back(argv[i]);
    }
    if (!(bounds.empty() ||
          (bounds.size() == 2 && parse_hex(bounds[0], first) && parse_hex(bounds[1], last))) ||
        first > last || last > kLastState || threads == 0) {
        std::fprintf(stderr,
                     "usage: %s [FIRST LAST] [--threads N]  (state bit patterns in hex, 0..437f0000)\n",
                     argv[0]);
        return 2;
    }
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        std::fprintf(stderr, "this check needs a processor with AVX2 and FMA\n");
        return 2;
    }
    if (!splits_hold()) {
        std::fprintf(stderr, "the split of 0.01f does not hold\n");
        return 1;
    }

    const uint64_t states = uint64_t(last) - first + 1;
    const uint64_t chunk = 1u << 16, chunks = (states + chunk - 1) / chunk;
    std::atomic<uint64_t> next{0}, done{0};
    std::mutex merge;
    Tally total;
    const auto start = std::chrono::steady_clock::now();
    auto work = [&] {
        Tally t;
        for (uint64_t c; (c = next.fetch_add(1)) < chunks;) {
            const uint64_t begin = first + c * chunk,
                           end = std::min<uint64_t>(begin + chunk, uint64_t(last) + 1);
            check_range(begin, end, t);
            const uint64_t n = done.fetch_add(1) + 1;
            if (n * 20 / chunks != (n - 1) * 20 / chunks) {
                const double s =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::fprintf(stderr, "%3d %% of the states, %.0f s\n", int(n * 100 / chunks), s);
            }
        }
        std::lock_guard<std::mutex> lock(merge);
        total.add(t);
    };
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < threads; ++i) pool.emplace_back(work);
    for (auto &th : pool) th.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    std::printf("states %08" PRIx32 "..%08" PRIx32 " (%" PRIu64
                " floats, %s to %s) x 256 camera bytes = %" PRIu64 " pairs\n",
                first, last, states, describe(from_bits(first)).c_str(), describe(from_bits(last)).c_str(),
                total.pairs);
    std::printf("reference lanes against rc_update: %" PRIu64 " checked, %" PRIu64 " different\n",
                total.reference_checked, total.reference_wrong);
    for (int f = 0; f < kForms; ++f) {
        std::printf("%-20s pairs covered %" PRIu64 ", mismatches %" PRIu64 "\n", kFormNames[f],
                    total.covered[f], total.wrong[f]);
        auto &ex = total.examples[f];
        std::sort(ex.begin(), ex.end(), [](const Example &l, const Example &r) {
            return l.state != r.state ? l.state < r.state : l.x < r.x;
        });
        for (size_t i = 0; i < std::min(ex.size(), kExamples); ++i)
            std::printf("    s = %s, x = %d: double update %s, form %s\n",
                        describe(from_bits(ex[i].state)).c_str(), ex[i].x, describe(ex[i].reference).c_str(),
                        describe(ex[i].form).c_str());
    }
    std::printf("%.1f s on %u threads\n", seconds, threads);
    const bool held = total.wrong[2] == 0 && total.wrong[3] == 0 && total.reference_wrong == 0;
    return held ? 0 : 1;
}
