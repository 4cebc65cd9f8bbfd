// AVX-512 row kernels: the AVX2 set with thirteen kernels replaced, where the
// AVX2 versions are limited by the number of instructions rather than by
// the arithmetic units:
// - the RC update, 16 pixels (48 channels) a step: it must be done in double
//   precision over single-precision state, which at 256 bits costs about
//   three times the instructions of a plain float update, and about half of
//   that at 512 bits with a byte permutation for the channel order;
// - the combo edge directions, 16 pixels a step, with mask registers in
//   place of the compare-and-blend sequences;
// - the Sobel sums, 8 channels per instruction;
// - the integer convolutions (Gaussian, Laplace, sharpen, emboss), 32
//   channels per vector instead of 16;
// - Canny's colour lengths (and combo edge's thirds), gradients (the 16.16
//   quotient mostly without a division) and suppression (mask registers);
// - erode, 64 pixels a step as bit masks.
// Each computes exactly what its AVX2 counterpart does (see there).
//
// This file alone is compiled for the AVX-512 target (F, BW, VL, VBMI; its
// own flags in src/CMakeLists.txt) and is entered only through the
// dispatcher, after the run-time check. As in avx2.cpp, the headers it
// shares give their inline functions internal linkage.
#include "kernels/dispatch.h"

#if LUMIVEX_HAVE_AVX2_ROWS
#if (defined(__GNUC__) || defined(__clang__)) && \
    !(defined(__AVX512F__) && defined(__AVX512BW__) && defined(__AVX512VL__) && defined(__AVX512VBMI__))
#error "avx512.cpp must be compiled with -mavx512f -mavx512bw -mavx512vl -mavx512vbmi"
#endif

// GCC 12's AVX-512 headers start some results from _mm512_undefined_*(),
// which -Wuninitialized and -Wmaybe-uninitialized report (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "kernels/exact.h"
#include "kernels/kernels.h"
#include "kernels/steps.h"
#include "kernels/x86.h"

namespace kernels {
namespace avx512 {
namespace {

// Byte k of the 48 bytes of 16 pixels holds state channel rc_channel(k) and
// the other way round: b g r <-> r g b (an involution).
constexpr int rc_channel(int k) { return 3 * (k / 3) + 2 - k % 3; }

struct rc_tables {
    // Per 8 state channels from group g: the qword 2^52 + x as a double's
    // bytes (x, five zeros, 0x30, 0x43; 64 + i picks byte i of the
    // constants, which hold 0, 0x30, 0x43).
    alignas(64) uint8_t camera[6][64];
    alignas(64) uint8_t constants[64];
    // The output bytes: byte 0 of each 32-bit lane, first from the lanes
    // of channels 0..31, then 32..47 added.
    alignas(64) uint8_t low[64];
    alignas(64) uint8_t high[64];
    constexpr rc_tables() : camera(), constants(), low(), high() {
        for (int g = 0; g < 6; ++g)
            for (int j = 0; j < 8; ++j) {
                camera[g][8 * j] = static_cast<uint8_t>(rc_channel(8 * g + j));
                for (int b = 1; b < 6; ++b) camera[g][8 * j + b] = 64;
                camera[g][8 * j + 6] = 65;
                camera[g][8 * j + 7] = 66;
            }
        constants[1] = 0x30;
        constants[2] = 0x43;
        for (int o = 0; o < 64; ++o) {
            const int c = o < 48 ? rc_channel(o) : 0;
            low[o] = static_cast<uint8_t>(c < 16 ? 4 * c : (c < 32 ? 64 + 4 * (c - 16) : 0));
            high[o] = static_cast<uint8_t>(c < 32 ? o : 64 + 4 * (c - 32));
        }
    }
};
constexpr rc_tables rc_table{};

// The reference's sum s * 0.99f + x * 0.01f, one rounding to double, of 8
// channels: x * 0.01f is exact in double (8 x 24 bits), here as
// (2^52 + x) * 0.01f - 2^52 * 0.01f in one fused multiply-subtract (the
// exact result is that product, so it comes out unrounded); s * 0.99f is
// exact too (24 x 24 bits), so one fused multiply-add rounds exactly as the
// reference's product and sum.
inline __m512d rc_sum8(const float *state, __m512i magic_x) {
    const __m512d keep = _mm512_set1_pd(static_cast<double>(0.99f));
    const __m512d take = _mm512_set1_pd(static_cast<double>(0.01f));
    const __m512d take_big = _mm512_set1_pd(4503599627370496.0 * static_cast<double>(0.01f));
    const __m512d x = _mm512_fmsub_pd(_mm512_castsi512_pd(magic_x), take, take_big);
    return _mm512_fmadd_pd(_mm512_cvtps_pd(_mm256_loadu_ps(state)), keep, x);
}

// 16 channels rounded to float; below 0 becomes +0 and above 255 becomes
// 255, NaN and -0 stay (max and min return their second operand unless the
// first is strictly greater or smaller, as the reference compares).
inline __m512 rc_store16(float *state, __m512d lo, __m512d hi) {
    __m512 f =
        _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lo))),
                                            _mm256_castps_pd(_mm512_cvtpd_ps(hi)), 1));
    f = _mm512_max_ps(_mm512_setzero_ps(), f);
    f = _mm512_min_ps(_mm512_set1_ps(255.0f), f);
    _mm512_storeu_ps(state, f);
    return f;
}

}  // namespace

void rc(const color_type *src, float *state, color_type *dst, size_t n) {
    const __m512i constants = _mm512_load_si512(rc_table.constants);
    __m512i camera[6];
    for (int g = 0; g < 6; ++g) camera[g] = _mm512_load_si512(rc_table.camera[g]);
    const __m512i low = _mm512_load_si512(rc_table.low), high = _mm512_load_si512(rc_table.high);
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    // The 48 bytes of 16 pixels by plain loads and stores (masked ones are
    // slow on Zen 4): 64 where the row has 6 more pixels, else 32 and 16.
    // Each step's input is loaded before the step before it stores: with the
    // destination the source itself, a 64-byte store covers the next step's
    // first 16 bytes, which that step then writes again.
    auto load48 = [&](size_t at) {
        return at + 22 <= n ? _mm512_loadu_si512(s + 3 * at)
                            : _mm512_inserti32x4(
                                  _mm512_castsi256_si512(
                                      _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 3 * at))),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * at + 32)), 2);
    };
    size_t p = 0;
    __m512i in = n >= 16 ? load48(0) : _mm512_setzero_si512();
    for (; p + 16 <= n; p += 16) {
        float *st = state + 3 * p;
        __m512i bytes[3];
        for (int k = 0; k < 3; ++k) {
            const __m512d lo = rc_sum8(st + 16 * k, _mm512_permutex2var_epi8(in, camera[2 * k], constants));
            const __m512d hi =
                rc_sum8(st + 16 * k + 8, _mm512_permutex2var_epi8(in, camera[2 * k + 1], constants));
            bytes[k] = _mm512_cvttps_epi32(rc_store16(st + 16 * k, lo, hi));
        }
        const __m512i out =
            _mm512_permutex2var_epi8(_mm512_permutex2var_epi8(bytes[0], low, bytes[1]), high, bytes[2]);
        const bool more = p + 32 <= n;
        if (more) in = load48(p + 16);
        if (more) {
            _mm512_storeu_si512(d + 3 * p, out);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 3 * p), _mm512_castsi512_si256(out));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * p + 32), _mm512_extracti32x4_epi32(out, 2));
        }
    }
    if (p < n) avx2::rc(src + p, state + 3 * p, dst + p, n - p);
}

namespace {

// ---- Combo edge directions ---------------------------------------------------

// The Sobel-pattern sums of avx2.cpp (sobel_sums), 8 lanes, from the taps.
inline void sobel_sums8(__m512d a0, __m512d a1, __m512d a2, __m512d a3, __m512d a5, __m512d a6, __m512d a7,
                        __m512d a8, __m512d &p, __m512d &q) {
    const __m512d one = _mm512_set1_pd(1.0), two = _mm512_set1_pd(2.0);
    p = _mm512_sub_pd(a2, a0);
    p = _mm512_fnmadd_pd(a3, two, p);
    p = _mm512_fmadd_pd(a5, two, p);
    p = _mm512_sub_pd(p, a6);
    p = _mm512_fmadd_pd(a8, one, p);
    q = _mm512_add_pd(_mm512_fmadd_pd(a1, two, a0), a2);
    q = _mm512_sub_pd(a6, q);
    q = _mm512_fmadd_pd(a7, two, q);
    q = _mm512_fmadd_pd(a8, one, q);
}

// The same around element x of rows r0..r2, neighbours 1 apart.
inline void sobel_sums8(const double *r0, const double *r1, const double *r2, size_t x, __m512d &p,
                        __m512d &q) {
    sobel_sums8(_mm512_loadu_pd(r0 + x - 1), _mm512_loadu_pd(r0 + x), _mm512_loadu_pd(r0 + x + 1),
                _mm512_loadu_pd(r1 + x - 1), _mm512_loadu_pd(r1 + x + 1), _mm512_loadu_pd(r2 + x - 1),
                _mm512_loadu_pd(r2 + x), _mm512_loadu_pd(r2 + x + 1), p, q);
}

// Table indices of 8 double quotients (see direction_index).
inline __m256i double_index8(__m512d r) {
    const __m512i bits = _mm512_castpd_si512(r);
    const __m512i mag = _mm512_and_si512(bits, _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFll));
    const __m512i t64 = _mm512_sub_epi64(
        _mm512_srli_epi64(mag, 52 - direction_mantissa_bits),
        _mm512_set1_epi64(static_cast<long long>(1023 + direction_min_exponent) << direction_mantissa_bits));
    __m256i t = _mm512_cvtepi64_epi32(t64);
    t = _mm256_min_epi32(_mm256_max_epi32(t, _mm256_set1_epi32(-1)), _mm256_set1_epi32(direction_buckets));
    const __m256i negative = _mm512_cvtepi64_epi32(_mm512_srli_epi64(bits, 63));
    return _mm256_add_epi32(_mm256_add_epi32(t, _mm256_set1_epi32(1)),
                            _mm256_mullo_epi32(negative, _mm256_set1_epi32(direction_buckets + 2)));
}

inline __m512 floats16(__m512d lo, __m512d hi) {
    return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(_mm512_cvtpd_ps(lo))),
                                               _mm256_castps_pd(_mm512_cvtpd_ps(hi)), 1));
}

// Levels of 16 pixels at x: the estimate, then the exact quotient's bucket,
// then the reference arithmetic, as direction8 in avx2.cpp.
inline __m512i direction16(const double *t0, const double *t1, const double *t2, size_t x,
                           const unsigned char *table) {
    __m512d gx0, gy0, gx1, gy1;
    sobel_sums8(t0, t1, t2, x, gx0, gy0);
    sobel_sums8(t0, t1, t2, x + 8, gx1, gy1);
    const __m512i gxb = _mm512_castps_si512(floats16(gx0, gx1)),
                  gyb = _mm512_castps_si512(floats16(gy0, gy1));
    const __m512i sign_bit = _mm512_set1_epi32(static_cast<int>(0x80000000u));
    const __m512 ax = _mm512_castsi512_ps(_mm512_andnot_si512(sign_bit, gxb));
    const __m512 ay = _mm512_castsi512_ps(_mm512_andnot_si512(sign_bit, gyb));
    const __mmask16 steep = _mm512_cmp_ps_mask(ay, ax, _CMP_GT_OQ);
    const __m512 t = _mm512_div_ps(_mm512_min_ps(ax, ay), _mm512_max_ps(ax, ay));
    const __m512 z = _mm512_mul_ps(t, t);
    __m512 poly = _mm512_set1_ps(direction_atan[8]);
    for (int k = 7; k >= 0; --k) poly = _mm512_fmadd_ps(poly, z, _mm512_set1_ps(direction_atan[k]));
    __m512 angle = _mm512_mul_ps(poly, t);
    angle = _mm512_mask_sub_ps(angle, steep, _mm512_set1_ps(1.57079632679f), angle);
    angle = _mm512_castsi512_ps(
        _mm512_xor_si512(_mm512_castps_si512(angle), _mm512_and_si512(_mm512_xor_si512(gxb, gyb), sign_bit)));
    const __m512 f = _mm512_fmadd_ps(angle, _mm512_set1_ps(81.1690209769f), _mm512_set1_ps(127.5f));
    const __m512 whole = _mm512_roundscale_ps(f, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m512 part = _mm512_sub_ps(f, whole);
    const __mmask16 near_whole =
        _mm512_cmp_ps_mask(part, _mm512_set1_ps(direction_margin), _CMP_LT_OQ) |
        _mm512_cmp_ps_mask(part, _mm512_set1_ps(1.0f - direction_margin), _CMP_GT_OQ);
    const __mmask16 zero = static_cast<__mmask16>(
        _mm512_cmp_pd_mask(gx0, _mm512_setzero_pd(), _CMP_EQ_OQ) |
        (static_cast<unsigned int>(_mm512_cmp_pd_mask(gx1, _mm512_setzero_pd(), _CMP_EQ_OQ)) << 8));
    __m512i level = _mm512_maskz_mov_epi32(static_cast<__mmask16>(~zero), _mm512_cvttps_epi32(whole));
    const __mmask16 undecided = near_whole & static_cast<__mmask16>(~zero);
    if (undecided != 0) {
        const __m512d r0 = _mm512_div_pd(gy0, gx0), r1 = _mm512_div_pd(gy1, gx1);
        const __m512i index =
            _mm512_inserti64x4(_mm512_castsi256_si512(double_index8(r0)), double_index8(r1), 1);
        const __m512i exact =
            _mm512_and_si512(_mm512_i32gather_epi32(index, table, 1), _mm512_set1_epi32(0xFF));
        level = _mm512_mask_mov_epi32(level, undecided, exact);
        const __mmask16 lanes = undecided & _mm512_cmpeq_epi32_mask(exact, _mm512_set1_epi32(255));
        if (lanes != 0) {  // near a step between levels: the reference arithmetic
            alignas(64) double r[16];
            alignas(64) int32_t out[16];
            _mm512_store_pd(r, r0);
            _mm512_store_pd(r + 8, r1);
            _mm512_store_si512(out, level);
            for (int k = 0; k < 16; ++k)
                if (lanes & (1u << k)) out[k] = direction_level_of_reference(r[k]);
            level = _mm512_load_si512(out);
        }
    }
    return level;
}

}  // namespace

void direction(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n) {
    if (n < 16) {
        avx2::direction(t0, t1, t2, dst, n);
        return;
    }
    const unsigned char *table = direction_table();
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t x = 0;
    while (x < n) {
        if (x + 16 > n) x = n - 16;  // the last block again, overlapping: same bytes
        store_grey16(d + 3 * x, _mm512_cvtepi32_epi8(direction16(t0, t1, t2, x, table)));
        x += 16;
    }
}

namespace {

// ---- Colour lengths -------------------------------------------------------------

// Per 8 pixels from the 48 bytes of 16: the 16-bit lanes b, g, r, 0 of
// each pixel (index 64 picks a zero byte of the second table).
struct square_tables {
    alignas(64) uint8_t words[2][64];
    constexpr square_tables() : words() {
        for (int h = 0; h < 2; ++h)
            for (int p = 0; p < 8; ++p)
                for (int c = 0; c < 4; ++c) {
                    const int at = 8 * p + 2 * c;
                    words[h][at] = static_cast<uint8_t>(c < 3 ? 3 * (8 * h + p) + c : 64);
                    words[h][at + 1] = 64;
                }
    }
};
constexpr square_tables square_table{};

// sqrt(b^2 + g^2 + r^2) of 8 pixels in double: the integer sum, then the
// double root, as avx2::length.
inline __m512d lengths8(__m512i in, __m512i words) {
    const __m512i w = _mm512_permutex2var_epi8(in, words, _mm512_setzero_si512());
    const __m512i pairs = _mm512_madd_epi16(w, w);  // b^2 + g^2, r^2 per pixel
    const __m512i sums = _mm512_add_epi32(pairs, _mm512_srli_epi64(pairs, 32));
    return _mm512_sqrt_pd(_mm512_cvtepi32_pd(_mm512_cvtepi64_epi32(sums)));
}

}  // namespace

void length(const color_type *src, double *l, size_t n) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(src);
    const __m512i lo = _mm512_load_si512(square_table.words[0]),
                  hi = _mm512_load_si512(square_table.words[1]);
    size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m512i in = _mm512_inserti32x4(
            _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 3 * x))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 3 * x + 32)), 2);
        _mm512_storeu_pd(l + x, lengths8(in, lo));
        _mm512_storeu_pd(l + x + 8, lengths8(in, hi));
    }
    if (x < n) avx2::length(src + x, l + x, n - x);
}

namespace {

// avx2.cpp's division-free third (third_of), 8 lanes: the same operations.
inline __m512d third_of8(__m512d l) {
    const __m512d third = _mm512_set1_pd(1.0 / 3.0);
    const __m512d q0 = _mm512_mul_pd(l, third);
    const __m512d remainder = _mm512_fnmadd_pd(_mm512_set1_pd(3.0), q0, l);
    return _mm512_fmadd_pd(remainder, third, q0);
}

}  // namespace

void third_length(const color_type *src, double *l, size_t n) {
    if (!avx2::third_exact()) {
        avx2::third_length(src, l, n);
        return;
    }
    const uint8_t *p = reinterpret_cast<const uint8_t *>(src);
    const __m512i lo = _mm512_load_si512(square_table.words[0]),
                  hi = _mm512_load_si512(square_table.words[1]);
    size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m512i in = _mm512_inserti32x4(
            _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 3 * x))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 3 * x + 32)), 2);
        _mm512_storeu_pd(l + x, third_of8(lengths8(in, lo)));
        _mm512_storeu_pd(l + x + 8, third_of8(lengths8(in, hi)));
    }
    if (x < n) avx2::third_length(src + x, l + x, n - x);
}

namespace {

// ---- Canny gradients ----------------------------------------------------------

inline __m512d abs8(__m512d v) {
    return _mm512_castsi512_pd(
        _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7FFFFFFFFFFFFFFFll)));
}

// The 16.16 ratio from q = |gy| * 65536 / gx: 0 where gx is 0, 2^31 - 1 from
// 2^31 - 1 on (what the reference's saturation and truncation give there),
// else q truncated (anything at or below -2^31 gives INT32_MIN, as in the
// reference).
inline __m256i ratio8(__m512d q, __mmask8 gx_zero) {
    return _mm512_cvttpd_epi32(
        _mm512_min_pd(_mm512_maskz_mov_pd(static_cast<__mmask8>(~gx_zero), q), _mm512_set1_pd(2147483647.0)));
}

// Gradients of 8 pixels at x, as avx2.cpp's gradient4: the same sums in the
// same order, and the quotient |gy| * 65536 / gx by the division. (A 14-bit
// reciprocal with two Newton steps and a margin check against the nearest
// integer was a third slower here than the divider.)
inline void gradient8(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio,
                      size_t x) {
    __m512d gx, gy;
    sobel_sums8(l0, l1, l2, x, gx, gy);
    const __m512d ay = abs8(gy);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(mag + x),
                        _mm512_cvttpd_epi32(_mm512_add_pd(abs8(gx), ay)));
    // Lanes with gx 0 (a quotient of NaN or infinity) take the ratio 0.
    const __mmask8 gx_zero = _mm512_cmp_pd_mask(gx, _mm512_setzero_pd(), _CMP_EQ_OQ);
    const __m512d q = _mm512_div_pd(_mm512_mul_pd(ay, _mm512_set1_pd(65536.0)), gx);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(ratio + x), ratio8(q, gx_zero));
}

}  // namespace

void gradient(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio, size_t n) {
    if (n < 8) {
        avx2::gradient(l0, l1, l2, mag, ratio, n);
        return;
    }
    size_t x = 0;
    while (x < n) {
        if (x + 8 > n) x = n - 8;  // the last block again, overlapping: same values
        gradient8(l0, l1, l2, mag, ratio, x);
        x += 8;
    }
}

namespace {

// ---- Canny suppression ---------------------------------------------------------

// Byte k of 16 pixels comes from pixel k / 3: one flag per pixel spread to
// its three bytes.
struct pixel_byte_tables {
    alignas(64) uint8_t spread[64];
    alignas(64) uint8_t red[64];
    constexpr pixel_byte_tables() : spread(), red() {
        for (int k = 0; k < 64; ++k) {
            spread[k] = static_cast<uint8_t>(k < 48 ? k / 3 : 0);
            red[k] = static_cast<uint8_t>(k % 3 == 2 ? 255 : 0);
        }
    }
};
constexpr pixel_byte_tables pixel_bytes{};

}  // namespace

// avx2::suppress with 16 pixels per step in mask registers: the magnitudes
// compare unsigned as they are, and each test is a mask.
void suppress(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
              const color_type *save, color_type *dst) {
    if (n < 16 || bound >= 4294967295ll) {
        avx2::suppress(mag, ratio, stride, n, bound, save, dst);
        return;
    }
    const ptrdiff_t w = static_cast<ptrdiff_t>(stride);
    const bool all_strong = bound < 0;
    const __m512i strong_bound =
        _mm512_set1_epi32(static_cast<int>(static_cast<uint32_t>(all_strong ? 0 : bound)));
    const canny_bounds &b = suppression_bounds();
    const __m512i steep_above = _mm512_set1_epi32(static_cast<int>(b.steep_above));
    const __m512i steep_below = _mm512_set1_epi32(static_cast<int>(b.steep_below));
    const __m512i diagonal_above = _mm512_set1_epi32(static_cast<int>(b.diagonal_above));
    const __m512i diagonal_below = _mm512_set1_epi32(static_cast<int>(b.diagonal_below));
    const __m512i spread = _mm512_load_si512(pixel_bytes.spread);
    const __m256i red_lo = _mm256_load_si256(reinterpret_cast<const __m256i *>(pixel_bytes.red));
    const __m128i red_hi = _mm_load_si128(reinterpret_cast<const __m128i *>(pixel_bytes.red + 32));
    const uint8_t *s = reinterpret_cast<const uint8_t *>(save);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    auto at = [](const uint32_t *p) { return _mm512_loadu_si512(p); };
    size_t x = 0;
    while (x < n) {
        if (x + 16 > n) x = n - 16;  // the last block again, overlapping: same bytes
        const uint32_t *c = mag + x;
        const __m512i m = at(c);
        const __mmask16 strong =
            all_strong ? static_cast<__mmask16>(0xFFFF) : _mm512_cmpgt_epu32_mask(m, strong_bound);
        const __m256i kept_lo = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 3 * x));
        const __m128i kept_hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * x + 32));
        __m256i *out_lo = reinterpret_cast<__m256i *>(d + 3 * x);
        __m128i *out_hi = reinterpret_cast<__m128i *>(d + 3 * x + 32);
        if (strong == 0) {  // no magnitude passes: the save_frame pixels
            _mm256_storeu_si256(out_lo, kept_lo);
            _mm_storeu_si128(out_hi, kept_hi);
            x += 16;
            continue;
        }
        const __m512i r = _mm512_loadu_si512(ratio + x);
        const __mmask16 steep =
            _mm512_cmpgt_epi32_mask(r, steep_above) | _mm512_cmplt_epi32_mask(r, steep_below);
        const __mmask16 ok2 =
            _mm512_mask_cmpgt_epu32_mask(_mm512_mask_cmpgt_epu32_mask(steep, m, at(c - w)), m, at(c + w));
        const __mmask16 diagonal =
            static_cast<__mmask16>(~steep) & _mm512_cmpgt_epi32_mask(r, diagonal_above);
        const __mmask16 ok3 = _mm512_mask_cmpgt_epu32_mask(
            _mm512_mask_cmpgt_epu32_mask(diagonal, m, at(c - w + 1)), m, at(c + w - 1));
        const __mmask16 ok4 = _mm512_mask_cmpgt_epu32_mask(
            _mm512_mask_cmpgt_epu32_mask(_mm512_cmplt_epi32_mask(r, diagonal_below), m, at(c - w - 1)), m,
            at(c + w + 1));
        const __mmask16 ok5 =
            _mm512_mask_cmpgt_epu32_mask(_mm512_cmpgt_epu32_mask(m, at(c - 1)), m, at(c + 1));
        const __mmask16 edge = static_cast<__mmask16>((ok2 | ok3 | ok4 | ok5) & strong);
        const __mmask64 edge_bytes = _mm512_movepi8_mask(
            _mm512_permutexvar_epi8(spread, _mm512_movm_epi8(static_cast<__mmask64>(edge))));
        _mm256_storeu_si256(out_lo,
                            _mm256_mask_blend_epi8(static_cast<__mmask32>(edge_bytes), kept_lo, red_lo));
        _mm_storeu_si128(out_hi,
                         _mm_mask_blend_epi8(static_cast<__mmask16>(edge_bytes >> 32), kept_hi, red_hi));
        x += 16;
    }
}

namespace {

// ---- Sobel in double precision -----------------------------------------------

}  // namespace

void scale(const uint8_t *src, double *t, size_t n, double scale) {
    const __m512d s = _mm512_set1_pd(scale);
    size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const __m512i v = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + j)));
        _mm512_storeu_pd(t + j, _mm512_mul_pd(s, _mm512_cvtepi32_pd(_mm512_castsi512_si256(v))));
        _mm512_storeu_pd(t + j + 8, _mm512_mul_pd(s, _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(v, 1))));
    }
    if (j < n) avx2::scale(src + j, t + j, n - j, scale);
}

namespace {

// trunc(|p| + |q|) * 8 for |p| + |q| < 32, else 256, as 32-bit integers.
inline __m256i sobel_levels8(__m512d p, __m512d q) {
    const __m512d w = _mm512_min_pd(_mm512_add_pd(abs8(p), abs8(q)), _mm512_set1_pd(32.0));
    return _mm256_slli_epi32(_mm512_cvttpd_epi32(w), 3);  // 256 saturates to 255 when narrowed
}

// Eight Sobel outputs at channels i .. i+7 (neighbours 3 channels apart), as
// sobel4 in avx2.cpp.
inline __m256i sobel8(const double *t0, const double *t1, const double *t2, size_t i) {
    __m512d p, q;
    sobel_sums8(_mm512_loadu_pd(t0 + i - 3), _mm512_loadu_pd(t0 + i), _mm512_loadu_pd(t0 + i + 3),
                _mm512_loadu_pd(t1 + i - 3), _mm512_loadu_pd(t1 + i + 3), _mm512_loadu_pd(t2 + i - 3),
                _mm512_loadu_pd(t2 + i), _mm512_loadu_pd(t2 + i + 3), p, q);
    return sobel_levels8(p, q);
}

// Eight outputs at channels i .. i+7 of the rows t[1] and t[2], sharing
// those rows' loads, as sobel4x2 in avx2.cpp.
inline void sobel8x2(const double *const t[], size_t i, __m256i &upper, __m256i &lower) {
    const __m512d b0 = _mm512_loadu_pd(t[1] + i - 3), b1 = _mm512_loadu_pd(t[1] + i),
                  b2 = _mm512_loadu_pd(t[1] + i + 3);
    const __m512d c0 = _mm512_loadu_pd(t[2] + i - 3), c1 = _mm512_loadu_pd(t[2] + i),
                  c2 = _mm512_loadu_pd(t[2] + i + 3);
    __m512d p, q;
    sobel_sums8(_mm512_loadu_pd(t[0] + i - 3), _mm512_loadu_pd(t[0] + i), _mm512_loadu_pd(t[0] + i + 3), b0,
                b2, c0, c1, c2, p, q);
    upper = sobel_levels8(p, q);
    sobel_sums8(b0, b1, b2, c0, c2, _mm512_loadu_pd(t[3] + i - 3), _mm512_loadu_pd(t[3] + i),
                _mm512_loadu_pd(t[3] + i + 3), p, q);
    lower = sobel_levels8(p, q);
}

inline void store16(uint8_t *dst, __m256i lo, __m256i hi) {
    const __m512i v = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm512_cvtusepi32_epi8(v));
}

}  // namespace

void sobel(const double *const t[], uint8_t *const dst[], size_t rows, size_t n) {
    if (n < 16) {
        avx2::sobel(t, dst, rows, n);
        return;
    }
    size_t k = 0;
    for (; k + 2 <= rows; k += 2) {
        size_t i = 0;
        while (i < n) {
            if (i + 16 > n) i = n - 16;  // the last block again, overlapping: same bytes
            __m256i a0, a1, b0, b1;
            sobel8x2(t + k, i, a0, a1);
            sobel8x2(t + k, i + 8, b0, b1);
            store16(dst[k] + i, a0, b0);
            store16(dst[k + 1] + i, a1, b1);
            i += 16;
        }
    }
    if (k < rows) {
        const double *t0 = t[k], *t1 = t[k + 1], *t2 = t[k + 2];
        size_t i = 0;
        while (i < n) {
            if (i + 16 > n) i = n - 16;
            store16(dst[k] + i, sobel8(t0, t1, t2, i), sobel8(t0, t1, t2, i + 8));
            i += 16;
        }
    }
}

// ---- Integer convolutions, 32 channels per vector -----------------------------
// The same sums as avx2.cpp's, twice as wide (see there for why they are exact).

namespace {

inline __m512i load32_u8_as_u16(const uint8_t *p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

// Stores 64 saturated bytes from two vectors of 32 signed 16-bit lanes (the
// pack works per 128-bit lane; the permutation puts its quadwords in order).
inline void store64_u8(uint8_t *d, __m512i a, __m512i b) {
    const __m512i packed =
        _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), _mm512_packus_epi16(a, b));
    _mm512_storeu_si512(d, packed);
}

inline __m512i loadu16x32(const uint16_t *p) { return _mm512_loadu_si512(p); }

// Column responses A = 2u+4v+5w, B = 4u+9v+12w, C = 5u+12v+15w of 32
// channels starting at channel ch (u = rows 0+4, v = rows 1+3, w = row 2).
inline void gauss_columns(const uint8_t *const r[5], size_t ch, uint16_t *A, uint16_t *B, uint16_t *C,
                          size_t j) {
    const __m512i u = _mm512_add_epi16(load32_u8_as_u16(r[0] + ch), load32_u8_as_u16(r[4] + ch));
    const __m512i v = _mm512_add_epi16(load32_u8_as_u16(r[1] + ch), load32_u8_as_u16(r[3] + ch));
    const __m512i w = load32_u8_as_u16(r[2] + ch);
    // The weights hidden from the compiler, so that each stays one multiply
    // (see avx2.cpp's gauss_columns).
    const __m512i k5 = opaque(_mm512_set1_epi16(5)), k9 = opaque(_mm512_set1_epi16(9));
    const __m512i k12 = opaque(_mm512_set1_epi16(12)), k15 = opaque(_mm512_set1_epi16(15));
    const __m512i a = _mm512_add_epi16(_mm512_add_epi16(_mm512_slli_epi16(u, 1), _mm512_slli_epi16(v, 2)),
                                       _mm512_mullo_epi16(w, k5));
    const __m512i b = _mm512_add_epi16(_mm512_add_epi16(_mm512_slli_epi16(u, 2), _mm512_mullo_epi16(v, k9)),
                                       _mm512_mullo_epi16(w, k12));
    const __m512i c = _mm512_add_epi16(
        _mm512_add_epi16(_mm512_mullo_epi16(u, k5), _mm512_mullo_epi16(v, k12)), _mm512_mullo_epi16(w, k15));
    _mm512_storeu_si512(A + j, a);
    _mm512_storeu_si512(B + j, b);
    _mm512_storeu_si512(C + j, c);
}

// 32 quotients s / 159 = (s * 52759) >> 23 for the outputs at k.
inline __m512i gauss_quotients(const uint16_t *A, const uint16_t *B, const uint16_t *C, size_t k) {
    __m512i s = _mm512_add_epi16(_mm512_add_epi16(loadu16x32(A + k), loadu16x32(A + k + 12)),
                                 _mm512_add_epi16(loadu16x32(B + k + 3), loadu16x32(B + k + 9)));
    s = _mm512_add_epi16(s, loadu16x32(C + k + 6));
    return _mm512_srli_epi16(_mm512_mulhi_epu16(s, _mm512_set1_epi16(static_cast<short>(52759))), 7);
}

struct laplace_kernel {
    static __m512i at(const uint8_t *const r[], size_t i, __m512i offset) {
        const __m512i centre = load32_u8_as_u16(r[2] + i);
        __m512i ones = _mm512_add_epi16(load32_u8_as_u16(r[0] + i), load32_u8_as_u16(r[4] + i));
        ones = _mm512_add_epi16(
            ones, _mm512_add_epi16(load32_u8_as_u16(r[1] + i - 3), load32_u8_as_u16(r[1] + i + 3)));
        ones = _mm512_add_epi16(
            ones, _mm512_add_epi16(load32_u8_as_u16(r[3] + i - 3), load32_u8_as_u16(r[3] + i + 3)));
        ones = _mm512_add_epi16(
            ones, _mm512_add_epi16(load32_u8_as_u16(r[2] + i - 6), load32_u8_as_u16(r[2] + i + 6)));
        __m512i twos = _mm512_add_epi16(load32_u8_as_u16(r[1] + i), load32_u8_as_u16(r[3] + i));
        twos = _mm512_add_epi16(
            twos, _mm512_add_epi16(load32_u8_as_u16(r[2] + i - 3), load32_u8_as_u16(r[2] + i + 3)));
        __m512i s = _mm512_add_epi16(ones, _mm512_slli_epi16(twos, 1));
        s = _mm512_sub_epi16(s, _mm512_slli_epi16(centre, 4));
        return _mm512_add_epi16(s, offset);
    }
};

struct sharpen_kernel {
    static __m512i at(const uint8_t *const r[], size_t i, __m512i offset) {
        const __m512i c = load32_u8_as_u16(r[1] + i);
        __m512i s = _mm512_add_epi16(_mm512_slli_epi16(c, 2), c);
        s = _mm512_sub_epi16(s, _mm512_add_epi16(load32_u8_as_u16(r[0] + i), load32_u8_as_u16(r[2] + i)));
        s = _mm512_sub_epi16(
            s, _mm512_add_epi16(load32_u8_as_u16(r[1] + i - 3), load32_u8_as_u16(r[1] + i + 3)));
        return _mm512_add_epi16(s, offset);
    }
};

struct emboss_kernel {
    static __m512i at(const uint8_t *const r[], size_t i, __m512i offset) {
        __m512i s = _mm512_slli_epi16(load32_u8_as_u16(r[0] + i - 3), 1);
        s = _mm512_sub_epi16(s, _mm512_add_epi16(load32_u8_as_u16(r[1] + i), load32_u8_as_u16(r[2] + i + 3)));
        return _mm512_add_epi16(s, offset);
    }
};

template <class K, class F>
void direct_rows(const uint8_t *const r[], uint8_t *dst, size_t begin, size_t end, int offset, F narrower) {
    if (end - begin < 64) {
        narrower(r, dst, begin, end, offset);
        return;
    }
    const __m512i off = _mm512_set1_epi16(static_cast<short>(offset));
    size_t i = begin;
    for (; i + 64 <= end; i += 64) store64_u8(dst + i, K::at(r, i, off), K::at(r, i + 32, off));
    if (i < end) store64_u8(dst + end - 64, K::at(r, end - 64, off), K::at(r, end - 32, off));
}

}  // namespace

void gauss5(const uint8_t *const r[5], uint8_t *dst, size_t begin, size_t end, int offset) {
    if (end - begin < 64) {
        avx2::gauss5(r, dst, begin, end, offset);
        return;
    }
    const size_t chunk = 512;
    alignas(64) uint16_t A[chunk + 12], B[chunk + 12], C[chunk + 12];
    size_t c0 = begin;
    while (c0 < end) {
        size_t len = end - c0 < chunk ? end - c0 : chunk;
        if (len < 64) {  // short last chunk: redo the last 64 outputs
            c0 = end - 64;
            len = 64;
        }
        const size_t base = c0 - 6, count = len + 12;
        size_t j = 0;
        for (; j + 32 <= count; j += 32) gauss_columns(r, base + j, A, B, C, j);
        if (j < count) gauss_columns(r, base + count - 32, A, B, C, count - 32);
        size_t k = 0;
        for (; k + 64 <= len; k += 64)
            store64_u8(dst + c0 + k, gauss_quotients(A, B, C, k), gauss_quotients(A, B, C, k + 32));
        if (k < len)
            store64_u8(dst + c0 + len - 64, gauss_quotients(A, B, C, len - 64),
                       gauss_quotients(A, B, C, len - 32));
        c0 += len;
    }
}

namespace {

// ---- Erode --------------------------------------------------------------------

// Byte indices for the erode rows, 64 pixels (192 bytes) a step.
struct erode_indices {
    uint8_t red_low[64];   // red byte of pixel k in bytes 0..127, k <= 41
    uint8_t red_high[64];  // the same in bytes 64..191, k >= 42
    uint8_t pixel[3][64];  // pixel of byte j of each 64-byte third
    uint8_t red[3][64];    // 255 on the red bytes of each third
    constexpr erode_indices() : red_low{}, red_high{}, pixel{}, red{} {
        for (int k = 0; k < 64; ++k) {
            red_low[k] = static_cast<uint8_t>(k <= 41 ? 3 * k + 2 : 0);
            red_high[k] = static_cast<uint8_t>(k >= 42 ? 3 * k + 2 - 64 : 0);
        }
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 64; ++j) {
                pixel[c][j] = static_cast<uint8_t>((64 * c + j) / 3);
                red[c][j] = (64 * c + j) % 3 == 2 ? 255 : 0;
            }
    }
};
alignas(64) constexpr erode_indices erode_bytes{};

inline __m512i load512(const void *p) { return _mm512_loadu_si512(p); }

// Bit k: pixel k's red byte is 255, of 64 pixels in a, b, c (192 bytes).
inline uint64_t red_marks64(__m512i a, __m512i b, __m512i c) {
    const __m512i low = _mm512_permutex2var_epi8(a, load512(erode_bytes.red_low), b);
    const __m512i high = _mm512_permutex2var_epi8(b, load512(erode_bytes.red_high), c);
    const __m512i red = _mm512_mask_mov_epi8(low, ~((uint64_t(1) << 42) - 1), high);
    return _mm512_cmpeq_epi8_mask(red, _mm512_set1_epi8(-1));
}

}  // namespace

// Erode, 64 pixels a step as bit masks: the tests on the rows above and
// below and the red bytes (two byte permutations per 64 pixels), the marks
// of all 64 at once (erode_marks), and the output blended in mask registers.
void erode(const uint8_t *cp, const uint8_t *cc, const uint8_t *cn, const color_type *up,
           const color_type *save, color_type *out, size_t n, unsigned int *left) {
    const uint8_t *u = reinterpret_cast<const uint8_t *>(up);
    const uint8_t *s = reinterpret_cast<const uint8_t *>(save);
    uint8_t *d = reinterpret_cast<uint8_t *>(out);
    const __m512i one = _mm512_set1_epi8(1), two = _mm512_set1_epi8(2);
    unsigned int carry = *left;
    uint64_t up_left_carry = up[-1].r == 255;  // whether the pixel above-left of pixel x is marked
    size_t x = 0;
    for (; x + 64 <= n; x += 64) {
        const uint64_t up_hi = _mm512_test_epi8_mask(load512(cp + x), one);
        const uint64_t up_left_hi = _mm512_test_epi8_mask(load512(cp + x - 1), one);
        const uint64_t down_lo = _mm512_test_epi8_mask(load512(cn + x), two);
        const uint64_t down_right_lo = _mm512_test_epi8_mask(load512(cn + x + 1), two);
        const uint64_t left_hi = _mm512_test_epi8_mask(load512(cc + x - 1), one);
        const uint64_t right_lo = _mm512_test_epi8_mask(load512(cc + x + 1), two);
        const uint64_t above =
            red_marks64(load512(u + 3 * x), load512(u + 3 * x + 64), load512(u + 3 * x + 128));
        const __m512i s0 = load512(s + 3 * x), s1 = load512(s + 3 * x + 64), s2 = load512(s + 3 * x + 128);
        const uint64_t camera = red_marks64(s0, s1, s2);
        const uint64_t above_left = (above << 1) | up_left_carry;
        up_left_carry = above >> 63;
        const uint64_t a = (up_hi & down_lo & ~above) | (up_left_hi & down_right_lo & ~above_left);
        const uint64_t h = left_hi & right_lo;
        const uint64_t marked = erode_marks(a | camera, h, carry);
        const uint64_t marks = a | (h & ~((marked << 1) | carry));
        carry = static_cast<unsigned int>(marked >> 63);
        const __m512i m = _mm512_movm_epi8(marks);
        const __m512i saved[3] = {s0, s1, s2};
        for (int c = 0; c < 3; ++c) {
            const __mmask64 bytes =
                _mm512_movepi8_mask(_mm512_permutexvar_epi8(load512(erode_bytes.pixel[c]), m));
            _mm512_storeu_si512(d + 3 * x + 64 * c,
                                _mm512_mask_blend_epi8(bytes, saved[c], load512(erode_bytes.red[c])));
        }
    }
    if (x < n) avx2::erode(cp + x, cc + x, cn + x, up + x, save + x, out + x, n - x, &carry);
    *left = carry;
}

void laplace5(const uint8_t *const r[5], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<laplace_kernel>(r, dst, begin, end, offset, avx2::laplace5);
}

void sharpen3(const uint8_t *const r[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<sharpen_kernel>(r, dst, begin, end, offset, avx2::sharpen3);
}

void emboss3(const uint8_t *const r[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<emboss_kernel>(r, dst, begin, end, offset, avx2::emboss3);
}

}  // namespace avx512
}  // namespace kernels

#endif
