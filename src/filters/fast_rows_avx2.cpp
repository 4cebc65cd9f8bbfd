// AVX2 row kernels: the arithmetic of the portable rows, 4 doubles, 8 floats
// or integers, or 16 to 32 channels at a time. Double-precision rows do the
// same IEEE operations in the same order per lane as the reference (no
// fused multiply-add: the target has none and -ffp-contract=off holds), so
// each lane's result is the reference's bit for bit; integer rows compute
// the exact integer forms proved in fast_rows.cpp.
//
// This file is compiled for the AVX2 target (a pragma below, or MSVC as is)
// and is only entered after the run-time check in simd.cpp. Every function
// here has internal linkage and nothing from a library header is
// instantiated after the pragma, so no AVX2 code can leak into code that
// runs on other processors.
#include "filters/fast_rows.h"
#include "filters/simd.h"

#if LUMIVEX_HAVE_AVX2_ROWS
#include <immintrin.h>

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

namespace fast {
namespace {

// ---- Helpers ----------------------------------------------------------------

inline __m256i load16_u8_as_u16(const uint8_t *p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// Stores 32 saturated bytes from two vectors of 16 signed 16-bit lanes.
inline void store32_u8(uint8_t *d, __m256i a, __m256i b) {
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(d), packed);
}

// Sums of squares b^2 + g^2 + r^2 of the 8 pixels at p (24 bytes read).
// Lane 0 holds bytes 0..15 (pixels 0..3 in its first 12), lane 1 bytes
// 8..23 (pixels 4..7 in its last 12).
inline __m256i load_pixels8(const uint8_t *p) {
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 8));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
}

inline __m256i square_sums8(__m256i pixels) {
    const char z = -128;  // shuffle index that gives 0
    const __m256i first = _mm256_setr_epi8(0, z, 1, z, 2, z, z, z, 3, z, 4, z, 5, z, z, z,  //
                                           4, z, 5, z, 6, z, z, z, 7, z, 8, z, 9, z, z, z);
    const __m256i second = _mm256_setr_epi8(6, z, 7, z, 8, z, z, z, 9, z, 10, z, 11, z, z, z,  //
                                            10, z, 11, z, 12, z, z, z, 13, z, 14, z, 15, z, z, z);
    __m256i a = _mm256_shuffle_epi8(pixels, first);   // b0 g0 r0 0 b1 g1 r1 0 as 16-bit
    __m256i b = _mm256_shuffle_epi8(pixels, second);  // pixels 2 and 3 likewise
    a = _mm256_madd_epi16(a, a);                      // b0^2+g0^2, r0^2, b1^2+g1^2, r1^2
    b = _mm256_madd_epi16(b, b);
    return _mm256_hadd_epi32(a, b);  // q0 q1 q2 q3 | q4 q5 q6 q7
}

// 16 bytes, one per pixel, from two vectors of 8 32-bit masks (0 or -1).
inline __m128i pack_masks16(__m256i m0, __m256i m1) {
    const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(m0, m1), 0xD8);
    return _mm_packs_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

// Writes one byte per pixel to all three channels of 16 pixels (48 bytes).
inline void store_grey16(uint8_t *d, __m128i v) {
    const __m128i s0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i s1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i s2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d), _mm_shuffle_epi8(v, s0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 16), _mm_shuffle_epi8(v, s1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 32), _mm_shuffle_epi8(v, s2));
}

inline uint32_t square_sum(const color_type &p) {
    return static_cast<uint32_t>(p.b * p.b + p.g * p.g + p.r * p.r);
}

const color_type red = {0, 0, 255};

// ---- Integer convolutions ---------------------------------------------------

// Gaussian, vertical then horizontal within chunks of a row. The kernel is
// symmetric: with u = rows 0+4, v = rows 1+3, w = row 2 of one column,
// A = 2u+4v+5w, B = 4u+9v+12w, C = 5u+12v+15w are its outer, inner and
// centre column responses, and the sum at channel i is
// A(i-6) + B(i-3) + C(i) + B(i+3) + A(i+6) <= 40545, exact in 16 bits.
// s / 159 is (s * 52759) >> 23 for every s < 114912.
inline __m256i loadu16(const uint16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// Column responses A, B, C of 16 channels starting at channel ch, stored at j.
inline void gauss_columns(const uint8_t *const r[5], size_t ch, uint16_t *A, uint16_t *B, uint16_t *C, size_t j) {
    const __m256i k2 = _mm256_set1_epi16(2), k4 = _mm256_set1_epi16(4), k5 = _mm256_set1_epi16(5);
    const __m256i k9 = _mm256_set1_epi16(9), k12 = _mm256_set1_epi16(12), k15 = _mm256_set1_epi16(15);
    const __m256i u = _mm256_add_epi16(load16_u8_as_u16(r[0] + ch), load16_u8_as_u16(r[4] + ch));
    const __m256i v = _mm256_add_epi16(load16_u8_as_u16(r[1] + ch), load16_u8_as_u16(r[3] + ch));
    const __m256i w = load16_u8_as_u16(r[2] + ch);
    const __m256i a = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, k2), _mm256_mullo_epi16(v, k4)),
                                       _mm256_mullo_epi16(w, k5));
    const __m256i b = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, k4), _mm256_mullo_epi16(v, k9)),
                                       _mm256_mullo_epi16(w, k12));
    const __m256i c = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, k5), _mm256_mullo_epi16(v, k12)),
                                       _mm256_mullo_epi16(w, k15));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(A + j), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(B + j), b);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(C + j), c);
}

// 16 quotients s / 159 for the outputs at k (column responses indexed from
// the output channel minus 6).
inline __m256i gauss_quotients(const uint16_t *A, const uint16_t *B, const uint16_t *C, size_t k) {
    __m256i s = _mm256_add_epi16(_mm256_add_epi16(loadu16(A + k), loadu16(A + k + 12)),
                                 _mm256_add_epi16(loadu16(B + k + 3), loadu16(B + k + 9)));
    s = _mm256_add_epi16(s, loadu16(C + k + 6));
    return _mm256_srli_epi16(_mm256_mulhi_epu16(s, _mm256_set1_epi16(static_cast<short>(52759))), 7);
}

void gauss5_avx2(const uint8_t *const r[5], uint8_t *dst, size_t begin, size_t end, int) {
    if (end - begin < 32) {
        portable_kernels().gauss5(r, dst, begin, end, 0);
        return;
    }
    const size_t chunk = 512;
    alignas(32) uint16_t A[chunk + 12], B[chunk + 12], C[chunk + 12];
    size_t c0 = begin;
    while (c0 < end) {
        size_t len = end - c0 < chunk ? end - c0 : chunk;
        if (len < 32) {  // short last chunk: redo the last 32 outputs
            c0 = end - 32;
            len = 32;
        }
        const size_t base = c0 - 6, count = len + 12;
        size_t j = 0;
        for (; j + 16 <= count; j += 16) gauss_columns(r, base + j, A, B, C, j);
        if (j < count) gauss_columns(r, base + count - 16, A, B, C, count - 16);
        size_t k = 0;
        for (; k + 32 <= len; k += 32)
            store32_u8(dst + c0 + k, gauss_quotients(A, B, C, k), gauss_quotients(A, B, C, k + 16));
        if (k < len)
            store32_u8(dst + c0 + len - 32, gauss_quotients(A, B, C, len - 32), gauss_quotients(A, B, C, len - 16));
        c0 += len;
    }
}

// Sparse kernels computed directly, 16 channels per vector, in signed 16 bits.
struct laplace_kernel {
    static __m256i at(const uint8_t *const r[], size_t i, __m256i offset) {
        const __m256i centre = load16_u8_as_u16(r[2] + i);
        __m256i ones = _mm256_add_epi16(load16_u8_as_u16(r[0] + i), load16_u8_as_u16(r[4] + i));
        ones = _mm256_add_epi16(ones, _mm256_add_epi16(load16_u8_as_u16(r[1] + i - 3), load16_u8_as_u16(r[1] + i + 3)));
        ones = _mm256_add_epi16(ones, _mm256_add_epi16(load16_u8_as_u16(r[3] + i - 3), load16_u8_as_u16(r[3] + i + 3)));
        ones = _mm256_add_epi16(ones, _mm256_add_epi16(load16_u8_as_u16(r[2] + i - 6), load16_u8_as_u16(r[2] + i + 6)));
        __m256i twos = _mm256_add_epi16(load16_u8_as_u16(r[1] + i), load16_u8_as_u16(r[3] + i));
        twos = _mm256_add_epi16(twos, _mm256_add_epi16(load16_u8_as_u16(r[2] + i - 3), load16_u8_as_u16(r[2] + i + 3)));
        __m256i s = _mm256_add_epi16(ones, _mm256_slli_epi16(twos, 1));
        s = _mm256_sub_epi16(s, _mm256_slli_epi16(centre, 4));
        return _mm256_add_epi16(s, offset);
    }
};

struct sharpen_kernel {
    static __m256i at(const uint8_t *const r[], size_t i, __m256i offset) {
        const __m256i c = load16_u8_as_u16(r[1] + i);
        __m256i s = _mm256_add_epi16(_mm256_slli_epi16(c, 2), c);
        s = _mm256_sub_epi16(s, _mm256_add_epi16(load16_u8_as_u16(r[0] + i), load16_u8_as_u16(r[2] + i)));
        s = _mm256_sub_epi16(s, _mm256_add_epi16(load16_u8_as_u16(r[1] + i - 3), load16_u8_as_u16(r[1] + i + 3)));
        return _mm256_add_epi16(s, offset);
    }
};

struct emboss_kernel {
    static __m256i at(const uint8_t *const r[], size_t i, __m256i offset) {
        __m256i s = _mm256_slli_epi16(load16_u8_as_u16(r[0] + i - 3), 1);
        s = _mm256_sub_epi16(s, _mm256_add_epi16(load16_u8_as_u16(r[1] + i), load16_u8_as_u16(r[2] + i + 3)));
        return _mm256_add_epi16(s, offset);
    }
};

template <class K, class F>
void direct_rows(const uint8_t *const r[], uint8_t *dst, size_t begin, size_t end, int offset, F portable) {
    if (end - begin < 32) {
        portable(r, dst, begin, end, offset);
        return;
    }
    const __m256i off = _mm256_set1_epi16(static_cast<short>(offset));
    size_t i = begin;
    for (; i + 32 <= end; i += 32) store32_u8(dst + i, K::at(r, i, off), K::at(r, i + 16, off));
    if (i < end) store32_u8(dst + end - 32, K::at(r, end - 32, off), K::at(r, end - 16, off));
}

void laplace5_avx2(const uint8_t *const r[5], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<laplace_kernel>(r, dst, begin, end, offset, portable_kernels().laplace5);
}
void sharpen3_avx2(const uint8_t *const r[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<sharpen_kernel>(r, dst, begin, end, offset, portable_kernels().sharpen3);
}
void emboss3_avx2(const uint8_t *const r[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<emboss_kernel>(r, dst, begin, end, offset, portable_kernels().emboss3);
}

// ---- Sobel in double precision ----------------------------------------------

void scale_avx2(const uint8_t *src, double *t, size_t n, double scale) {
    const __m256d s = _mm256_set1_pd(scale);
    size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + j));
        _mm256_storeu_pd(t + j, _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(b))));
        _mm256_storeu_pd(t + j + 4, _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(b, 4)))));
        _mm256_storeu_pd(t + j + 8, _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(b, 8)))));
        _mm256_storeu_pd(t + j + 12, _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(b, 12)))));
    }
    for (; j < n; ++j) t[j] = scale * static_cast<double>(src[j]);
}

inline __m256d abs_pd(__m256d v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }

// Four Sobel outputs (as 32-bit integers) at channels i .. i+3.
inline __m128i sobel4(const double *t0, const double *t1, const double *t2, size_t i) {
    const __m256d m1 = _mm256_set1_pd(-1.0), p1 = _mm256_set1_pd(1.0);
    const __m256d m2 = _mm256_set1_pd(-2.0), p2 = _mm256_set1_pd(2.0);
    const __m256d a0 = _mm256_loadu_pd(t0 + i - 3), a1 = _mm256_loadu_pd(t0 + i), a2 = _mm256_loadu_pd(t0 + i + 3);
    const __m256d a3 = _mm256_loadu_pd(t1 + i - 3), a5 = _mm256_loadu_pd(t1 + i + 3);
    const __m256d a6 = _mm256_loadu_pd(t2 + i - 3), a7 = _mm256_loadu_pd(t2 + i), a8 = _mm256_loadu_pd(t2 + i + 3);
    __m256d p = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(m1, a0));
    p = _mm256_add_pd(p, _mm256_mul_pd(p1, a2));
    p = _mm256_add_pd(p, _mm256_mul_pd(m2, a3));
    p = _mm256_add_pd(p, _mm256_mul_pd(p2, a5));
    p = _mm256_add_pd(p, _mm256_mul_pd(m1, a6));
    p = _mm256_add_pd(p, _mm256_mul_pd(p1, a8));
    __m256d q = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(m1, a0));
    q = _mm256_add_pd(q, _mm256_mul_pd(m2, a1));
    q = _mm256_add_pd(q, _mm256_mul_pd(m1, a2));
    q = _mm256_add_pd(q, _mm256_mul_pd(p1, a6));
    q = _mm256_add_pd(q, _mm256_mul_pd(p2, a7));
    q = _mm256_add_pd(q, _mm256_mul_pd(p1, a8));
    // trunc(w) * 8 for w < 32, else 255.
    const __m256d w = _mm256_min_pd(_mm256_add_pd(abs_pd(p), abs_pd(q)), _mm256_set1_pd(32.0));
    const __m128i v = _mm_slli_epi32(_mm256_cvttpd_epi32(w), 3);
    return _mm_min_epi32(v, _mm_set1_epi32(255));
}

inline void sobel16(const double *t0, const double *t1, const double *t2, uint8_t *dst, size_t i) {
    const __m128i a = _mm_packs_epi32(sobel4(t0, t1, t2, i), sobel4(t0, t1, t2, i + 4));
    const __m128i b = _mm_packs_epi32(sobel4(t0, t1, t2, i + 8), sobel4(t0, t1, t2, i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(a, b));
}

void sobel_avx2(const double *t0, const double *t1, const double *t2, uint8_t *dst, size_t n) {
    if (n < 16) {
        portable_kernels().sobel(t0, t1, t2, dst, n);
        return;
    }
    size_t i = 0;
    for (; i + 16 <= n; i += 16) sobel16(t0, t1, t2, dst, i);
    if (i < n) sobel16(t0, t1, t2, dst, n - 16);
}

// ---- Colour lengths, Canny gradients and suppression ------------------------

template <bool third>
void lengths(const color_type *src, double *l, size_t n) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(src);
    const __m256d three = _mm256_set1_pd(3.0);
    size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m256i q = square_sums8(load_pixels8(p + 3 * x));
        __m256d lo = _mm256_sqrt_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(q)));
        __m256d hi = _mm256_sqrt_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(q, 1)));
        if (third) {
            lo = _mm256_div_pd(lo, three);
            hi = _mm256_div_pd(hi, three);
        }
        _mm256_storeu_pd(l + x, lo);
        _mm256_storeu_pd(l + x + 4, hi);
    }
    for (; x < n; ++x) {
        const __m128d v = _mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(static_cast<double>(square_sum(src[x]))));
        l[x] = third ? _mm_cvtsd_f64(_mm_div_sd(v, _mm_set_sd(3.0))) : _mm_cvtsd_f64(v);
    }
}

void length_avx2(const color_type *src, double *l, size_t n) { lengths<false>(src, l, n); }
void third_length_avx2(const color_type *src, double *l, size_t n) { lengths<true>(src, l, n); }

// 32-bit lanes 0, 2, 4, 6 of a vector of 64-bit masks.
inline __m128i narrow_mask(__m256d m) {
    const __m256i picked = _mm256_permutevar8x32_epi32(_mm256_castpd_si256(m), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm256_castsi256_si128(picked);
}

inline void gradient4(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio,
                      size_t x) {
    const __m256d m1 = _mm256_set1_pd(-1.0), p1 = _mm256_set1_pd(1.0);
    const __m256d m2 = _mm256_set1_pd(-2.0), p2 = _mm256_set1_pd(2.0);
    const __m256d v0 = _mm256_loadu_pd(l0 + x - 1), v1 = _mm256_loadu_pd(l0 + x), v2 = _mm256_loadu_pd(l0 + x + 1);
    const __m256d v3 = _mm256_loadu_pd(l1 + x - 1), v5 = _mm256_loadu_pd(l1 + x + 1);
    const __m256d v6 = _mm256_loadu_pd(l2 + x - 1), v7 = _mm256_loadu_pd(l2 + x), v8 = _mm256_loadu_pd(l2 + x + 1);
    __m256d gx = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(m1, v0));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(p1, v2));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(m2, v3));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(p2, v5));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(m1, v6));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(p1, v8));
    __m256d gy = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(m1, v0));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(m2, v1));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(m1, v2));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(p1, v6));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(p2, v7));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(p1, v8));
    const __m256d ay = abs_pd(gy);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(mag + x), _mm256_cvttpd_epi32(_mm256_add_pd(abs_pd(gx), ay)));
    // |gy| * 65536 / gx, truncated; 0 where gx is 0; 2^31 or more saturates
    // (the conversion itself gives INT32_MIN for anything at or below -2^31).
    const __m256d q = _mm256_div_pd(_mm256_mul_pd(ay, _mm256_set1_pd(65536.0)), gx);
    __m128i r = _mm256_cvttpd_epi32(q);
    const __m128i big = narrow_mask(_mm256_cmp_pd(q, _mm256_set1_pd(2147483648.0), _CMP_GE_OQ));
    const __m128i zero = narrow_mask(_mm256_cmp_pd(gx, _mm256_setzero_pd(), _CMP_EQ_OQ));
    r = _mm_blendv_epi8(r, _mm_set1_epi32(INT32_MAX), big);
    r = _mm_andnot_si128(zero, r);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(ratio + x), r);
}

void gradient_avx2(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio, size_t n) {
    if (n < 4) {
        portable_kernels().gradient(l0, l1, l2, mag, ratio, n);
        return;
    }
    size_t x = 0;
    for (; x + 4 <= n; x += 4) gradient4(l0, l1, l2, mag, ratio, x);
    if (x < n) gradient4(l0, l1, l2, mag, ratio, n - 4);
}

// 8 magnitudes at c + d, biased so that signed compares order them unsigned.
inline __m256i biased8(const uint32_t *c, ptrdiff_t d) {
    return _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(c + d)),
                            _mm256_set1_epi32(static_cast<int>(0x80000000u)));
}

// Red mask bits of 8 pixels centred on mag[0].
inline int suppress8(const uint32_t *c, const int32_t *ratio, ptrdiff_t w, __m256i strong_bound, bool all_strong) {
    const canny_bounds &b = suppression_bounds();
    const __m256i m = biased8(c, 0);
    const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ratio));
    const __m256i steep =
        _mm256_or_si256(_mm256_cmpgt_epi32(r, _mm256_set1_epi32(static_cast<int>(b.steep_above))),
                        _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(b.steep_below)), r));
    const __m256i rows = _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -w)), _mm256_cmpgt_epi32(m, biased8(c, w)));
    const __m256i ok2 = _mm256_and_si256(steep, rows);
    const __m256i diag_up = _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -w + 1)), _mm256_cmpgt_epi32(m, biased8(c, w - 1)));
    const __m256i ok3 = _mm256_andnot_si256(
        steep, _mm256_and_si256(_mm256_cmpgt_epi32(r, _mm256_set1_epi32(static_cast<int>(b.diagonal_above))), diag_up));
    const __m256i diag_down = _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -w - 1)), _mm256_cmpgt_epi32(m, biased8(c, w + 1)));
    const __m256i ok4 = _mm256_and_si256(
        _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(b.diagonal_below)), r), diag_down);
    const __m256i ok5 = _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -1)), _mm256_cmpgt_epi32(m, biased8(c, 1)));
    __m256i edge = _mm256_or_si256(_mm256_or_si256(ok2, ok3), _mm256_or_si256(ok4, ok5));
    if (!all_strong) edge = _mm256_and_si256(edge, _mm256_cmpgt_epi32(m, strong_bound));
    return _mm256_movemask_ps(_mm256_castsi256_ps(edge));
}

void suppress_avx2(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
                   const color_type *save, color_type *dst) {
    if (n < 8 || bound >= 4294967295ll) {
        portable_kernels().suppress(mag, ratio, stride, n, bound, save, dst);
        return;
    }
    const ptrdiff_t w = static_cast<ptrdiff_t>(stride);
    const bool all_strong = bound < 0;
    const __m256i strong_bound =
        _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(all_strong ? 0 : bound) ^ 0x80000000u));
    // The camera picture first, then the edges over it.
    const uint8_t *s = reinterpret_cast<const uint8_t *>(save);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t i = 0;
    for (; i + 32 <= 3 * n; i += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + i)));
    for (; i < 3 * n; ++i) d[i] = s[i];
    size_t x = 0;
    while (x < n) {
        if (x + 8 > n) x = n - 8;
        int bits = suppress8(mag + x, ratio + x, w, strong_bound, all_strong);
        for (size_t k = x; bits != 0; ++k, bits >>= 1)
            if (bits & 1) dst[k] = red;
        x += 8;
    }
}

// ---- Combo edge directions --------------------------------------------------

// Levels of 4 pixels at x (32-bit lanes).
inline __m128i direction4(const double *t0, const double *t1, const double *t2, size_t x) {
    const __m256d m1 = _mm256_set1_pd(-1.0), m2 = _mm256_set1_pd(-2.0), p2 = _mm256_set1_pd(2.0);
    const __m256d a0 = _mm256_loadu_pd(t0 + x - 1), a1 = _mm256_loadu_pd(t0 + x), a2 = _mm256_loadu_pd(t0 + x + 1);
    const __m256d a3 = _mm256_loadu_pd(t1 + x - 1), a5 = _mm256_loadu_pd(t1 + x + 1);
    const __m256d a6 = _mm256_loadu_pd(t2 + x - 1), a7 = _mm256_loadu_pd(t2 + x), a8 = _mm256_loadu_pd(t2 + x + 1);
    __m256d gx = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(m1, a0));
    gx = _mm256_add_pd(gx, a2);
    gx = _mm256_add_pd(gx, _mm256_mul_pd(m2, a3));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(p2, a5));
    gx = _mm256_add_pd(gx, _mm256_mul_pd(m1, a6));
    gx = _mm256_add_pd(gx, a8);
    __m256d gy = _mm256_add_pd(_mm256_setzero_pd(), _mm256_mul_pd(m1, a0));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(m2, a1));
    gy = _mm256_add_pd(gy, _mm256_mul_pd(m1, a2));
    gy = _mm256_add_pd(gy, a6);
    gy = _mm256_add_pd(gy, _mm256_mul_pd(p2, a7));
    gy = _mm256_add_pd(gy, a8);
    const __m256d r = _mm256_div_pd(gy, gx);

    // Table index from the top bits of r (see direction_index).
    const __m256i bits = _mm256_castpd_si256(r);
    const __m256i mag = _mm256_and_si256(bits, _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    const __m256i t64 = _mm256_sub_epi64(_mm256_srli_epi64(mag, 52 - direction_mantissa_bits),
                                         _mm256_set1_epi64x(static_cast<long long>(1023 + direction_min_exponent)
                                                            << direction_mantissa_bits));
    const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    __m128i t = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(t64, pick));
    t = _mm_min_epi32(_mm_max_epi32(t, _mm_set1_epi32(-1)), _mm_set1_epi32(direction_buckets));
    const __m128i negative = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_srli_epi64(bits, 63), pick));
    const __m128i index = _mm_add_epi32(_mm_add_epi32(t, _mm_set1_epi32(1)),
                                        _mm_mullo_epi32(negative, _mm_set1_epi32(direction_buckets + 2)));
    __m128i level = _mm_and_si128(
        _mm_i32gather_epi32(reinterpret_cast<const int *>(direction_table), index, 1), _mm_set1_epi32(0xFF));
    const __m128i zero = narrow_mask(_mm256_cmp_pd(gx, _mm256_setzero_pd(), _CMP_EQ_OQ));
    level = _mm_andnot_si128(zero, level);
    const int undecided = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(level, _mm_set1_epi32(255))));
    if (undecided != 0) {
        alignas(32) double lanes[4];
        alignas(16) int32_t out[4];
        _mm256_store_pd(lanes, r);
        _mm_store_si128(reinterpret_cast<__m128i *>(out), level);
        for (int k = 0; k < 4; ++k)
            if (undecided & (1 << k)) out[k] = direction_level_reference(lanes[k]);
        level = _mm_load_si128(reinterpret_cast<const __m128i *>(out));
    }
    return level;
}

inline void direction16(const double *t0, const double *t1, const double *t2, uint8_t *d, size_t x) {
    const __m128i a = _mm_packs_epi32(direction4(t0, t1, t2, x), direction4(t0, t1, t2, x + 4));
    const __m128i b = _mm_packs_epi32(direction4(t0, t1, t2, x + 8), direction4(t0, t1, t2, x + 12));
    store_grey16(d + 3 * x, _mm_packus_epi16(a, b));
}

void direction_avx2(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n) {
    if (n < 16) {
        portable_kernels().direction(t0, t1, t2, dst, n);
        return;
    }
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t x = 0;
    for (; x + 16 <= n; x += 16) direction16(t0, t1, t2, d, x);
    if (x < n) direction16(t0, t1, t2, d, n - 16);
}

// ---- Point filters ----------------------------------------------------------

inline __m256i absdiff_u8(__m256i a, __m256i b) { return _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a)); }

// 5 * (d1 + d2) saturated: with t = min(d1 +sat d2, 52), 4t stays in a byte and
// 4t + t saturates exactly when 5 (d1 + d2) > 255.
inline __m256i at(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

inline void edge32(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t i) {
    const __m256i c = at(row + i);
    const __m256i s = _mm256_adds_epu8(absdiff_u8(c, at(row + i + 3)), absdiff_u8(c, at(below + i)));
    const __m256i t = _mm256_min_epu8(s, _mm256_set1_epi8(52));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), _mm256_adds_epu8(_mm256_slli_epi16(t, 2), t));
}

void edge_avx2(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t n) {
    if (n < 32) {
        portable_kernels().edge(row, below, dst, n);
        return;
    }
    size_t i = 0;
    for (; i + 32 <= n; i += 32) edge32(row, below, dst, i);
    if (i < n) edge32(row, below, dst, n - 32);
}

inline void threshold16(const uint8_t *s, uint8_t *d, __m256i first_black) {
    const __m256i q0 = square_sums8(load_pixels8(s)), q1 = square_sums8(load_pixels8(s + 24));
    store_grey16(d, pack_masks16(_mm256_cmpgt_epi32(first_black, q0), _mm256_cmpgt_epi32(first_black, q1)));
}

void threshold_avx2(const color_type *src, color_type *dst, size_t n, uint32_t first_black) {
    if (n < 16) {
        portable_kernels().threshold(src, dst, n, first_black);
        return;
    }
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    const __m256i fb = _mm256_set1_epi32(static_cast<int>(first_black));
    size_t x = 0;
    for (; x + 16 <= n; x += 16) threshold16(s + 3 * x, d + 3 * x, fb);
    if (x < n) threshold16(s + 3 * (n - 16), d + 3 * (n - 16), fb);
}

inline void classify16(const uint8_t *s, uint8_t *cls, __m256i above, __m256i below) {
    const __m256i q0 = square_sums8(load_pixels8(s)), q1 = square_sums8(load_pixels8(s + 24));
    const __m128i not_above = pack_masks16(_mm256_cmpgt_epi32(above, q0), _mm256_cmpgt_epi32(above, q1));
    const __m128i is_below = pack_masks16(_mm256_cmpgt_epi32(below, q0), _mm256_cmpgt_epi32(below, q1));
    const __m128i c = _mm_or_si128(_mm_andnot_si128(not_above, _mm_set1_epi8(1)), _mm_and_si128(is_below, _mm_set1_epi8(2)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(cls), c);
}

void classify_avx2(const color_type *src, uint8_t *cls, size_t n, uint32_t above, uint32_t below) {
    if (n < 16) {
        portable_kernels().classify(src, cls, n, above, below);
        return;
    }
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    const __m256i a = _mm256_set1_epi32(static_cast<int>(above)), b = _mm256_set1_epi32(static_cast<int>(below));
    size_t x = 0;
    for (; x + 16 <= n; x += 16) classify16(s + 3 * x, cls + x, a, b);
    if (x < n) classify16(s + 3 * (n - 16), cls + n - 16, a, b);
}

// floor((s + l) / 2) = rounded-up average minus the lost low bit.
void average_avx2(const uint8_t *src, uint8_t *last, uint8_t *dst, size_t n) {
    const __m256i one = _mm256_set1_epi8(1);
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i));
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(last + i));
        const __m256i avg = _mm256_sub_epi8(_mm256_avg_epu8(s, l), _mm256_and_si256(_mm256_xor_si256(s, l), one));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), avg);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(last + i), s);
    }
    if (i < n) portable_kernels().average(src + i, last + i, dst + i, n - i);
}

// ---- RC filter --------------------------------------------------------------

// Byte order b g r of 8 pixels <-> the state's order r g b (an involution).
// Input: a = bytes 0..15, b = bytes 8..23. Output: bytes 0..15 and 16..23.
inline void reverse_triples(__m128i a, __m128i b, __m128i &lo, __m128i &hi) {
    const char z = -128;
    const __m128i from_a = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, z);
    const __m128i from_b = _mm_setr_epi8(z, z, z, z, z, z, z, z, z, z, z, z, z, z, z, 9);
    const __m128i tail = _mm_setr_epi8(8, 7, 12, 11, 10, 15, 14, 13, z, z, z, z, z, z, z, z);
    lo = _mm_or_si128(_mm_shuffle_epi8(a, from_a), _mm_shuffle_epi8(b, from_b));
    hi = _mm_shuffle_epi8(b, tail);
}

// s * 0.99f + x * 0.01f in double, rounded to float, clamped to 0..255.
inline __m256 rc_step8(const float *state, __m128i x8) {
    const __m256d keep = _mm256_set1_pd(static_cast<double>(0.99f));
    const __m256d take = _mm256_set1_pd(static_cast<double>(0.01f));
    const __m256 s = _mm256_loadu_ps(state);
    const __m256i x = _mm256_cvtepu8_epi32(x8);
    const __m256d lo = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(s)), keep),
                                     _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(x)), take));
    const __m256d hi = _mm256_add_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(s, 1)), keep),
                                     _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(x, 1)), take));
    const __m256 f = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)), _mm256_cvtpd_ps(hi), 1);
    return _mm256_min_ps(_mm256_max_ps(f, _mm256_setzero_ps()), _mm256_set1_ps(255.0f));
}

inline __m128i words8(__m256i v) {
    return _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

void rc_avx2(const color_type *src, float *state, color_type *dst, size_t n) {
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t p = 0;
    for (; p + 8 <= n; p += 8) {
        const uint8_t *in = s + 3 * p;
        float *st = state + 3 * p;
        __m128i lo, hi;
        reverse_triples(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in)),
                        _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 8)), lo, hi);
        const __m256 f0 = rc_step8(st, lo), f1 = rc_step8(st + 8, _mm_srli_si128(lo, 8)), f2 = rc_step8(st + 16, hi);
        _mm256_storeu_ps(st, f0);
        _mm256_storeu_ps(st + 8, f1);
        _mm256_storeu_ps(st + 16, f2);
        const __m128i b01 = _mm_packus_epi16(words8(_mm256_cvttps_epi32(f0)), words8(_mm256_cvttps_epi32(f1)));
        const __m128i b2 = _mm_packus_epi16(words8(_mm256_cvttps_epi32(f2)), _mm_setzero_si128());
        __m128i out_lo, out_hi;
        reverse_triples(b01, _mm_alignr_epi8(b2, b01, 8), out_lo, out_hi);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * p), out_lo);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d + 3 * p + 16), out_hi);
    }
    if (p < n) portable_kernels().rc(src + p, state + 3 * p, dst + p, n - p);
}

// ---- Tracking ---------------------------------------------------------------

// m = trunc(sqrt(dq)) for dq >= min_sum, else 0. A float root is exact
// enough: dq < 2^24 is exact in a float, and for a non-square dq the root
// stays more than 1/884 below the next integer, far more than a float's
// rounding error below 512.
void track_avx2(const color_type *src, color_type *last, color_type *dst, size_t n, unsigned int x0, bool diff,
                uint64_t *total, uint64_t *moment) {
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *l = reinterpret_cast<uint8_t *>(last);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    const __m256i below_min = _mm256_set1_epi32(static_cast<int>(tracking_min_sum()) - 1);
    const __m256i green_mul = _mm256_set1_epi32(604953);
    const char z = -128;
    const __m128i green_lo = _mm_setr_epi8(z, 0, z, z, 1, z, z, 2, z, z, 3, z, z, 4, z, z);
    const __m128i green_hi = _mm_setr_epi8(5, z, z, 6, z, z, 7, z, z, z, z, z, z, z, z, z);
    __m256i sum_m = _mm256_setzero_si256();
    __m256i sum_xm = _mm256_setzero_si256();  // four 64-bit lanes
    __m256i xs = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(x0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i eight = _mm256_set1_epi32(8);
    size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m256i sp = load_pixels8(s + 3 * x), lp = load_pixels8(l + 3 * x);
        const __m256i dq = square_sums8(absdiff_u8(sp, lp));
        __m256i m = _mm256_cvttps_epi32(_mm256_sqrt_ps(_mm256_cvtepi32_ps(dq)));
        m = _mm256_and_si256(m, _mm256_cmpgt_epi32(dq, below_min));
        sum_m = _mm256_add_epi32(sum_m, m);
        const __m256i xm = _mm256_mullo_epi32(xs, m);
        sum_xm = _mm256_add_epi64(sum_xm, _mm256_cvtepu32_epi64(_mm256_castsi256_si128(xm)));
        sum_xm = _mm256_add_epi64(sum_xm, _mm256_cvtepu32_epi64(_mm256_extracti128_si256(xm, 1)));
        xs = _mm256_add_epi32(xs, eight);

        const __m128i in_lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * x));
        const __m128i in_hi = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(s + 3 * x + 16));
        if (diff) {
            const __m256i g = _mm256_srli_epi32(_mm256_mullo_epi32(m, green_mul), 20);
            const __m128i g8 = _mm_packus_epi16(words8(g), _mm_setzero_si128());
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * x), _mm_shuffle_epi8(g8, green_lo));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(d + 3 * x + 16), _mm_shuffle_epi8(g8, green_hi));
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * x), in_lo);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(d + 3 * x + 16), in_hi);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(l + 3 * x), in_lo);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(l + 3 * x + 16), in_hi);
    }
    alignas(32) uint32_t ms[8];
    alignas(32) uint64_t xms[4];
    _mm256_store_si256(reinterpret_cast<__m256i *>(ms), sum_m);
    _mm256_store_si256(reinterpret_cast<__m256i *>(xms), sum_xm);
    uint64_t t = 0, mx = 0;
    for (int k = 0; k < 8; ++k) t += ms[k];
    for (int k = 0; k < 4; ++k) mx += xms[k];
    *total += t;
    *moment += mx;
    if (x < n) portable_kernels().track(src + x, last + x, dst + x, n - x, x0 + static_cast<unsigned int>(x), diff,
                                        total, moment);
}

const row_kernels avx2_set = {
    gauss5_avx2,       laplace5_avx2, sharpen3_avx2, emboss3_avx2,   scale_avx2,     sobel_avx2,
    length_avx2,       third_length_avx2, gradient_avx2, suppress_avx2, direction_avx2, edge_avx2,
    threshold_avx2,    classify_avx2, average_avx2,  rc_avx2,        track_avx2,
};

}  // namespace
}  // namespace fast

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

const fast::row_kernels *fast::avx2_kernels() {
    return simd_supported() == simd_level::avx2 ? &avx2_set : nullptr;
}

#else

const fast::row_kernels *fast::avx2_kernels() { return nullptr; }

#endif
