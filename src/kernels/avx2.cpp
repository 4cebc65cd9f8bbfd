// AVX2 row kernels: the arithmetic of the portable rows, 4 doubles, 8 floats
// or integers, or 16 to 32 channels at a time. Double-precision rows do the
// same IEEE operations in the same order per lane as the reference, so each
// lane's result is the reference's bit for bit (-ffp-contract=off keeps the
// compiler from fusing them; the one fused multiply-add written out below
// computes an exact remainder, checked for every input it can get); integer
// rows compute the exact integer forms proved in exact.cpp.
//
// This file alone is compiled for the AVX2 target (its own flags in
// src/CMakeLists.txt) and is entered only through the dispatcher, after the
// run-time check. Nothing in it runs before main. The headers it shares with
// other files give their inline functions internal linkage, so no AVX2 copy
// of one can stand in for the plain one elsewhere.
#include <cmath>

#include "kernels/dispatch.h"

#if LUMIVEX_HAVE_AVX2_ROWS
#if (defined(__GNUC__) || defined(__clang__)) && !(defined(__AVX2__) && defined(__FMA__))
#error "avx2.cpp must be compiled with -mavx2 -mfma"
#endif

#include "kernels/exact.h"
#include "kernels/kernels.h"
#include "kernels/steps.h"
#include "kernels/x86.h"

namespace kernels {
namespace avx2 {
namespace {

// ---- Integer convolutions ---------------------------------------------------

// Gaussian, vertical then horizontal within chunks of a row. The kernel is
// symmetric: with u = rows 0+4, v = rows 1+3, w = row 2 of one column,
// A = 2u+4v+5w, B = 4u+9v+12w, C = 5u+12v+15w are its outer, inner and
// centre column responses, and the sum at channel i is
// A(i-6) + B(i-3) + C(i) + B(i+3) + A(i+6) <= 40545, exact in 16 bits.
// s / 159 is (s * 52759) >> 23 for every s < 114912.
inline __m256i loadu16(const uint16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

// Column responses A, B, C of 16 channels starting at channel ch, stored at j.
inline void gauss_columns(const uint8_t *const r[5], size_t ch, uint16_t *A, uint16_t *B, uint16_t *C,
                          size_t j) {
    // The weights hidden from the compiler: one multiply per weight is fewer
    // instructions than the shifts and adds it would turn them into.
    const __m256i k2 = opaque(_mm256_set1_epi16(2)), k4 = opaque(_mm256_set1_epi16(4));
    const __m256i k5 = opaque(_mm256_set1_epi16(5)), k9 = opaque(_mm256_set1_epi16(9));
    const __m256i k12 = opaque(_mm256_set1_epi16(12)), k15 = opaque(_mm256_set1_epi16(15));
    const __m256i u = _mm256_add_epi16(load16_u8_as_u16(r[0] + ch), load16_u8_as_u16(r[4] + ch));
    const __m256i v = _mm256_add_epi16(load16_u8_as_u16(r[1] + ch), load16_u8_as_u16(r[3] + ch));
    const __m256i w = load16_u8_as_u16(r[2] + ch);
    const __m256i a = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, k2), _mm256_mullo_epi16(v, k4)),
                                       _mm256_mullo_epi16(w, k5));
    const __m256i b = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, k4), _mm256_mullo_epi16(v, k9)),
                                       _mm256_mullo_epi16(w, k12));
    const __m256i c = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(u, k5), _mm256_mullo_epi16(v, k12)), _mm256_mullo_epi16(w, k15));
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

}  // namespace

void gauss5(const uint8_t *const r[5], uint8_t *dst, size_t begin, size_t end, int) {
    if (end - begin < 32) {
        portable::gauss5(r, dst, begin, end, 0);
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
            store32_u8(dst + c0 + len - 32, gauss_quotients(A, B, C, len - 32),
                       gauss_quotients(A, B, C, len - 16));
        c0 += len;
    }
}

namespace {

// Sparse kernels computed directly, 16 channels per vector, in signed 16 bits.
struct laplace_kernel {
    static __m256i at(const uint8_t *const r[], size_t i, __m256i offset) {
        const __m256i centre = load16_u8_as_u16(r[2] + i);
        __m256i ones = _mm256_add_epi16(load16_u8_as_u16(r[0] + i), load16_u8_as_u16(r[4] + i));
        ones = _mm256_add_epi16(
            ones, _mm256_add_epi16(load16_u8_as_u16(r[1] + i - 3), load16_u8_as_u16(r[1] + i + 3)));
        ones = _mm256_add_epi16(
            ones, _mm256_add_epi16(load16_u8_as_u16(r[3] + i - 3), load16_u8_as_u16(r[3] + i + 3)));
        ones = _mm256_add_epi16(
            ones, _mm256_add_epi16(load16_u8_as_u16(r[2] + i - 6), load16_u8_as_u16(r[2] + i + 6)));
        __m256i twos = _mm256_add_epi16(load16_u8_as_u16(r[1] + i), load16_u8_as_u16(r[3] + i));
        twos = _mm256_add_epi16(
            twos, _mm256_add_epi16(load16_u8_as_u16(r[2] + i - 3), load16_u8_as_u16(r[2] + i + 3)));
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
        s = _mm256_sub_epi16(
            s, _mm256_add_epi16(load16_u8_as_u16(r[1] + i - 3), load16_u8_as_u16(r[1] + i + 3)));
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

}  // namespace

void laplace5(const uint8_t *const r[5], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<laplace_kernel>(r, dst, begin, end, offset, portable::laplace5);
}

void sharpen3(const uint8_t *const r[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<sharpen_kernel>(r, dst, begin, end, offset, portable::sharpen3);
}

void emboss3(const uint8_t *const r[3], uint8_t *dst, size_t begin, size_t end, int offset) {
    direct_rows<emboss_kernel>(r, dst, begin, end, offset, portable::emboss3);
}

namespace {

// ---- Sobel in double precision ----------------------------------------------

}  // namespace

// t = fl(v * scale). For a positive scale: the byte v is shuffled into the
// bottom of a 64-bit lane holding the exponent of 2^52, which makes the
// double 2^52 + v, and (2^52 + v) * scale - 2^52 * scale has the exact value
// v * scale, rounded once by the fused multiply-subtract: the reference's
// product (v = 0 gives +0, as 0 * scale does).
void scale(const uint8_t *src, double *t, size_t n, double scale) {
    const __m256d s = _mm256_set1_pd(scale);
    const double shifted = 4503599627370496.0 * scale;
    size_t j = 0;
    if (scale > 0.0 && std::isfinite(shifted)) {
        const char z = -128;
        const __m256i first = _mm256_setr_epi8(0, z, z, z, z, z, z, z, 1, z, z, z, z, z, z, z,  //
                                               2, z, z, z, z, z, z, z, 3, z, z, z, z, z, z, z);
        const __m256i four = _mm256_set1_epi8(4);
        const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000ll);
        const __m256d big = _mm256_set1_pd(shifted);
        for (; j + 16 <= n; j += 16) {
            const __m256i b =
                _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + j)));
            __m256i at = first;  // the indices of channels 4k .. 4k+3 (0x80 and up give 0)
            for (int k = 0; k < 4; ++k) {
                const __m256d v = _mm256_castsi256_pd(_mm256_or_si256(_mm256_shuffle_epi8(b, at), exponent));
                _mm256_storeu_pd(t + j + 4 * k, _mm256_fmsub_pd(v, s, big));
                at = _mm256_add_epi8(at, four);
            }
        }
    }
    for (; j + 16 <= n; j += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + j));
        _mm256_storeu_pd(t + j, _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(b))));
        _mm256_storeu_pd(t + j + 4,
                         _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(b, 4)))));
        _mm256_storeu_pd(t + j + 8,
                         _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(b, 8)))));
        _mm256_storeu_pd(t + j + 12,
                         _mm256_mul_pd(s, _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_srli_si128(b, 12)))));
    }
    for (; j < n; ++j) t[j] = scale * static_cast<double>(src[j]);
}

namespace {

inline __m256d abs_pd(__m256d v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }

// Sobel-pattern sums of 4 lanes in the reference's order, with the same
// roundings:
//   p = ((((0 - a0) + a2) - 2 a3) + 2 a5) - a6) + a8
//   q = ((((0 - a0) - 2 a1) - a2) + a6) + 2 a7) + a8
// 0 - a0 + a2 is a2 - a0 exactly; 0 - a0 - 2 a1 - a2 is -((a0 + 2 a1) + a2)
// exactly (rounding is symmetric). Every step c + k a with k = +-1 or +-2
// has an exact product, so a fused multiply-add fma(a, k, c) rounds exactly
// as the reference's separate product and sum do; half the steps are done
// that way, on the multiply pipes, as the two add pipes are the limit here.
// Only the sign of a zero can differ from the reference, which the absolute
// values (Sobel) and the zero tests and quotients (Canny, combo) do not see.
inline void sobel_sums(__m256d a0, __m256d a1, __m256d a2, __m256d a3, __m256d a5, __m256d a6, __m256d a7,
                       __m256d a8, __m256d &p, __m256d &q) {
    const __m256d one = _mm256_set1_pd(1.0), two = _mm256_set1_pd(2.0);
    p = _mm256_sub_pd(a2, a0);
    p = _mm256_fnmadd_pd(a3, two, p);
    p = _mm256_fmadd_pd(a5, two, p);
    p = _mm256_sub_pd(p, a6);
    p = _mm256_fmadd_pd(a8, one, p);
    q = _mm256_add_pd(_mm256_fmadd_pd(a1, two, a0), a2);
    q = _mm256_sub_pd(a6, q);
    q = _mm256_fmadd_pd(a7, two, q);
    q = _mm256_fmadd_pd(a8, one, q);
}

// trunc(|p| + |q|) * 8 for |p| + |q| < 32, else 256, as 32-bit integers.
inline __m128i sobel_levels4(__m256d p, __m256d q) {
    const __m256d w = _mm256_min_pd(_mm256_add_pd(abs_pd(p), abs_pd(q)), _mm256_set1_pd(32.0));
    return _mm_slli_epi32(_mm256_cvttpd_epi32(w), 3);  // 256 saturates to 255 when packed
}

// Four Sobel outputs at channels i .. i+3 of the row t1.
inline __m128i sobel4(const double *t0, const double *t1, const double *t2, size_t i) {
    __m256d p, q;
    sobel_sums(_mm256_loadu_pd(t0 + i - 3), _mm256_loadu_pd(t0 + i), _mm256_loadu_pd(t0 + i + 3),
               _mm256_loadu_pd(t1 + i - 3), _mm256_loadu_pd(t1 + i + 3), _mm256_loadu_pd(t2 + i - 3),
               _mm256_loadu_pd(t2 + i), _mm256_loadu_pd(t2 + i + 3), p, q);
    return sobel_levels4(p, q);
}

inline void sobel16(const double *t0, const double *t1, const double *t2, uint8_t *dst, size_t i) {
    const __m128i a = _mm_packs_epi32(sobel4(t0, t1, t2, i), sobel4(t0, t1, t2, i + 4));
    const __m128i b = _mm_packs_epi32(sobel4(t0, t1, t2, i + 8), sobel4(t0, t1, t2, i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(a, b));
}

// Four outputs at channels i .. i+3 of the rows t[1] and t[2]: the two
// windows share the rows t[1] and t[2], so 12 loads serve 8 outputs instead
// of 16 (the loads, a third of them split across cache lines, are what
// limits the single rows).
inline void sobel4x2(const double *const t[], size_t i, __m128i &upper, __m128i &lower) {
    const __m256d b0 = _mm256_loadu_pd(t[1] + i - 3), b1 = _mm256_loadu_pd(t[1] + i),
                  b2 = _mm256_loadu_pd(t[1] + i + 3);
    const __m256d c0 = _mm256_loadu_pd(t[2] + i - 3), c1 = _mm256_loadu_pd(t[2] + i),
                  c2 = _mm256_loadu_pd(t[2] + i + 3);
    __m256d p, q;
    sobel_sums(_mm256_loadu_pd(t[0] + i - 3), _mm256_loadu_pd(t[0] + i), _mm256_loadu_pd(t[0] + i + 3), b0,
               b2, c0, c1, c2, p, q);
    upper = sobel_levels4(p, q);
    sobel_sums(b0, b1, b2, c0, c2, _mm256_loadu_pd(t[3] + i - 3), _mm256_loadu_pd(t[3] + i),
               _mm256_loadu_pd(t[3] + i + 3), p, q);
    lower = sobel_levels4(p, q);
}

inline void sobel8x2(const double *const t[], uint8_t *const dst[], size_t i) {
    __m128i a0, a1, b0, b1;
    sobel4x2(t, i, a0, a1);
    sobel4x2(t, i + 4, b0, b1);
    const __m128i zero = _mm_setzero_si128();
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst[0] + i),
                     _mm_packus_epi16(_mm_packs_epi32(a0, b0), zero));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst[1] + i),
                     _mm_packus_epi16(_mm_packs_epi32(a1, b1), zero));
}

}  // namespace

void sobel(const double *const t[], uint8_t *const dst[], size_t rows, size_t n) {
    if (n < 16) {
        portable::sobel(t, dst, rows, n);
        return;
    }
    size_t k = 0;
    for (; k + 2 <= rows; k += 2) {
        size_t i = 0;
        for (; i + 8 <= n; i += 8) sobel8x2(t + k, dst + k, i);
        if (i < n) sobel8x2(t + k, dst + k, n - 8);  // the last block again, overlapping: same bytes
    }
    if (k < rows) {
        size_t i = 0;
        for (; i + 16 <= n; i += 16) sobel16(t[k], t[k + 1], t[k + 2], dst[k], i);
        if (i < n) sobel16(t[k], t[k + 1], t[k + 2], dst[k], n - 16);
    }
}

namespace {

// ---- Colour lengths, Canny gradients and suppression ------------------------

// fl(L / 3) without a division: q0 = L * fl(1/3), the remainder L - 3 q0 is
// exact in one fused multiply-add, and q0 + remainder * fl(1/3) rounds to the
// quotient. Checked against the division for every length there is (the
// roots of 0 .. 3 * 255^2) on first use (third_exact).
inline __m256d third_of(__m256d l) {
    const __m256d third = _mm256_set1_pd(1.0 / 3.0);
    const __m256d q0 = _mm256_mul_pd(l, third);
    const __m256d remainder = _mm256_fnmadd_pd(_mm256_set1_pd(3.0), q0, l);
    return _mm256_fmadd_pd(remainder, third, q0);
}

template <bool third>
void lengths(const color_type *src, double *l, size_t n) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(src);
    const __m256d three = _mm256_set1_pd(3.0);
    const bool fused = third_exact();
    size_t x = 0;
    for (; x + 8 <= n; x += 8) {
        const __m256i q = square_sums8(load_pixels8(p + 3 * x));
        __m256d lo = _mm256_sqrt_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(q)));
        __m256d hi = _mm256_sqrt_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(q, 1)));
        if (third) {
            lo = fused ? third_of(lo) : _mm256_div_pd(lo, three);
            hi = fused ? third_of(hi) : _mm256_div_pd(hi, three);
        }
        _mm256_storeu_pd(l + x, lo);
        _mm256_storeu_pd(l + x + 4, hi);
    }
    for (; x < n; ++x) {
        const __m128d v = _mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(static_cast<double>(square_sum(src[x]))));
        l[x] = third ? _mm_cvtsd_f64(_mm_div_sd(v, _mm_set_sd(3.0))) : _mm_cvtsd_f64(v);
    }
}

}  // namespace

void length(const color_type *src, double *l, size_t n) { lengths<false>(src, l, n); }

void third_length(const color_type *src, double *l, size_t n) { lengths<true>(src, l, n); }

namespace {

// 32-bit lanes 0, 2, 4, 6 of a vector of 64-bit masks.
inline __m128i narrow_mask(__m256d m) {
    const __m256i picked =
        _mm256_permutevar8x32_epi32(_mm256_castpd_si256(m), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm256_castsi256_si128(picked);
}

inline void gradient4(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio,
                      size_t x) {
    const __m256d zero = _mm256_setzero_pd();
    __m256d gx, gy;
    sobel_sums(_mm256_loadu_pd(l0 + x - 1), _mm256_loadu_pd(l0 + x), _mm256_loadu_pd(l0 + x + 1),
               _mm256_loadu_pd(l1 + x - 1), _mm256_loadu_pd(l1 + x + 1), _mm256_loadu_pd(l2 + x - 1),
               _mm256_loadu_pd(l2 + x), _mm256_loadu_pd(l2 + x + 1), gx, gy);
    const __m256d ay = abs_pd(gy);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(mag + x),
                     _mm256_cvttpd_epi32(_mm256_add_pd(abs_pd(gx), ay)));
    // |gy| * 65536 / gx, truncated; 0 where gx is 0 (the quotient is set to
    // 0 before the conversion); from 2^31 - 1 on 2^31 - 1, which is what the
    // reference's saturation and truncation give there (the conversion itself
    // gives INT32_MIN for anything at or below -2^31, as the reference does).
    const __m256d q = _mm256_div_pd(_mm256_mul_pd(ay, _mm256_set1_pd(65536.0)), gx);
    const __m256d gx_zero = _mm256_cmp_pd(gx, zero, _CMP_EQ_OQ);
    const __m128i r =
        _mm256_cvttpd_epi32(_mm256_min_pd(_mm256_andnot_pd(gx_zero, q), _mm256_set1_pd(2147483647.0)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(ratio + x), r);
}

}  // namespace

void gradient(const double *l0, const double *l1, const double *l2, uint32_t *mag, int32_t *ratio, size_t n) {
    if (n < 4) {
        portable::gradient(l0, l1, l2, mag, ratio, n);
        return;
    }
    size_t x = 0;
    for (; x + 4 <= n; x += 4) gradient4(l0, l1, l2, mag, ratio, x);
    if (x < n) gradient4(l0, l1, l2, mag, ratio, n - 4);
}

namespace {

// 8 magnitudes at c + d, biased so that signed compares order them unsigned.
inline __m256i biased8(const uint32_t *c, ptrdiff_t d) {
    return _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(c + d)),
                            _mm256_set1_epi32(static_cast<int>(0x80000000u)));
}

// The suppression bounds (see canny_bounds), one per lane.
struct ratio_bounds8 {
    __m256i steep_above, steep_below, diagonal_above, diagonal_below;
    explicit ratio_bounds8(const canny_bounds &b)
        : steep_above(_mm256_set1_epi32(static_cast<int>(b.steep_above))),
          steep_below(_mm256_set1_epi32(static_cast<int>(b.steep_below))),
          diagonal_above(_mm256_set1_epi32(static_cast<int>(b.diagonal_above))),
          diagonal_below(_mm256_set1_epi32(static_cast<int>(b.diagonal_below))) {}
};

// Edge masks (32-bit lanes) of 8 pixels centred on mag[0] (biased: m), of
// those whose lane in `strong` is set.
inline __m256i suppress8(const uint32_t *c, __m256i m, const int32_t *ratio, ptrdiff_t w, __m256i strong,
                         const ratio_bounds8 &b) {
    const __m256i r = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ratio));
    const __m256i steep =
        _mm256_or_si256(_mm256_cmpgt_epi32(r, b.steep_above), _mm256_cmpgt_epi32(b.steep_below, r));
    const __m256i rows =
        _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -w)), _mm256_cmpgt_epi32(m, biased8(c, w)));
    const __m256i ok2 = _mm256_and_si256(steep, rows);
    const __m256i diag_up =
        _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -w + 1)), _mm256_cmpgt_epi32(m, biased8(c, w - 1)));
    const __m256i ok3 =
        _mm256_andnot_si256(steep, _mm256_and_si256(_mm256_cmpgt_epi32(r, b.diagonal_above), diag_up));
    const __m256i diag_down =
        _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -w - 1)), _mm256_cmpgt_epi32(m, biased8(c, w + 1)));
    const __m256i ok4 = _mm256_and_si256(_mm256_cmpgt_epi32(b.diagonal_below, r), diag_down);
    const __m256i ok5 =
        _mm256_and_si256(_mm256_cmpgt_epi32(m, biased8(c, -1)), _mm256_cmpgt_epi32(m, biased8(c, 1)));
    const __m256i edge = _mm256_or_si256(_mm256_or_si256(ok2, ok3), _mm256_or_si256(ok4, ok5));
    return _mm256_and_si256(edge, strong);
}

}  // namespace

void suppress(const uint32_t *mag, const int32_t *ratio, size_t stride, size_t n, int64_t bound,
              const color_type *save, color_type *dst) {
    if (n < 16 || bound >= 4294967295ll) {
        portable::suppress(mag, ratio, stride, n, bound, save, dst);
        return;
    }
    const ptrdiff_t w = static_cast<ptrdiff_t>(stride);
    const bool all_strong = bound < 0;
    const __m256i strong_bound =
        _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(all_strong ? 0 : bound) ^ 0x80000000u));
    const ratio_bounds8 b(suppression_bounds());
    const __m256i all = _mm256_set1_epi32(-1);
    const uint8_t *s = reinterpret_cast<const uint8_t *>(save);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t x = 0;
    while (x < n) {
        if (x + 16 > n) x = n - 16;  // the last block again, overlapping: same bytes
        const __m256i m0 = biased8(mag + x, 0), m1 = biased8(mag + x + 8, 0);
        const __m256i strong0 = all_strong ? all : _mm256_cmpgt_epi32(m0, strong_bound);
        const __m256i strong1 = all_strong ? all : _mm256_cmpgt_epi32(m1, strong_bound);
        const bool weak0 = _mm256_testz_si256(strong0, strong0), weak1 = _mm256_testz_si256(strong1, strong1);
        if (weak0 && weak1) {  // no magnitude passes: the save_frame pixels (most blocks of smooth content)
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + 3 * x),
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 3 * x)));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * x + 32), load128(s + 3 * x + 32));
            x += 16;
            continue;
        }
        const __m256i zero = _mm256_setzero_si256();
        const __m256i e0 = weak0 ? zero : suppress8(mag + x, m0, ratio + x, w, strong0, b);
        const __m256i e1 = weak1 ? zero : suppress8(mag + x + 8, m1, ratio + x + 8, w, strong1, b);
        blend_red16(s + 3 * x, d + 3 * x, pack_masks16(e0, e1));
        x += 16;
    }
}

namespace {

// ---- Combo edge directions --------------------------------------------------

// The combo gradients of 4 pixels at x, in the reference's order.
inline void gradients4(const double *t0, const double *t1, const double *t2, size_t x, __m256d &gx,
                       __m256d &gy) {
    sobel_sums(_mm256_loadu_pd(t0 + x - 1), _mm256_loadu_pd(t0 + x), _mm256_loadu_pd(t0 + x + 1),
               _mm256_loadu_pd(t1 + x - 1), _mm256_loadu_pd(t1 + x + 1), _mm256_loadu_pd(t2 + x - 1),
               _mm256_loadu_pd(t2 + x), _mm256_loadu_pd(t2 + x + 1), gx, gy);
}

// Table indices of 4 double quotients (see direction_index).
inline __m128i double_index4(__m256d r) {
    const __m256i bits = _mm256_castpd_si256(r);
    const __m256i mag = _mm256_and_si256(bits, _mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFll));
    const __m256i t64 = _mm256_sub_epi64(
        _mm256_srli_epi64(mag, 52 - direction_mantissa_bits),
        _mm256_set1_epi64x(static_cast<long long>(1023 + direction_min_exponent) << direction_mantissa_bits));
    const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    __m128i t = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(t64, pick));
    t = _mm_min_epi32(_mm_max_epi32(t, _mm_set1_epi32(-1)), _mm_set1_epi32(direction_buckets));
    const __m128i negative =
        _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_srli_epi64(bits, 63), pick));
    return _mm_add_epi32(_mm_add_epi32(t, _mm_set1_epi32(1)),
                         _mm_mullo_epi32(negative, _mm_set1_epi32(direction_buckets + 2)));
}

// Levels of 8 pixels at x (32-bit lanes). An estimate first: the angle
// from a float arctangent of min(|gx|, |gy|) / max(|gx|, |gy|) (see
// direction_estimate), good to about 1e-4 of a level; where it is more than
// direction_margin from a whole level, the level is its integer part (the
// reference arithmetic stays within 1e-12 of the exact angle). The other
// lanes take the exact double quotient's table bucket, and where that has
// no level either, the reference arithmetic.
inline __m256i direction8(const double *t0, const double *t1, const double *t2, size_t x,
                          const unsigned char *table) {
    __m256d gx0, gy0, gx1, gy1;
    gradients4(t0, t1, t2, x, gx0, gy0);
    gradients4(t0, t1, t2, x + 4, gx1, gy1);
    const __m256 gxf = _mm256_set_m128(_mm256_cvtpd_ps(gx1), _mm256_cvtpd_ps(gx0));
    const __m256 gyf = _mm256_set_m128(_mm256_cvtpd_ps(gy1), _mm256_cvtpd_ps(gy0));
    const __m256 sign_bit = _mm256_set1_ps(-0.0f);
    const __m256 ax = _mm256_andnot_ps(sign_bit, gxf), ay = _mm256_andnot_ps(sign_bit, gyf);
    const __m256 steep = _mm256_cmp_ps(ay, ax, _CMP_GT_OQ);
    const __m256 t = _mm256_div_ps(_mm256_min_ps(ax, ay), _mm256_max_ps(ax, ay));
    const __m256 z = _mm256_mul_ps(t, t);
    __m256 poly = _mm256_set1_ps(direction_atan[8]);
    for (int k = 7; k >= 0; --k) poly = _mm256_fmadd_ps(poly, z, _mm256_set1_ps(direction_atan[k]));
    __m256 angle = _mm256_mul_ps(poly, t);
    angle = _mm256_blendv_ps(angle, _mm256_sub_ps(_mm256_set1_ps(1.57079632679f), angle), steep);
    angle = _mm256_xor_ps(angle, _mm256_and_ps(_mm256_xor_ps(gxf, gyf), sign_bit));
    const __m256 f = _mm256_fmadd_ps(angle, _mm256_set1_ps(81.1690209769f), _mm256_set1_ps(127.5f));
    const __m256 whole = _mm256_round_ps(f, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256 part = _mm256_sub_ps(f, whole);
    const __m256 near_whole =
        _mm256_or_ps(_mm256_cmp_ps(part, _mm256_set1_ps(direction_margin), _CMP_LT_OQ),
                     _mm256_cmp_ps(part, _mm256_set1_ps(1.0f - direction_margin), _CMP_GT_OQ));
    __m256i level = _mm256_cvttps_epi32(whole);
    const __m256i zero = _mm256_set_m128i(narrow_mask(_mm256_cmp_pd(gx1, _mm256_setzero_pd(), _CMP_EQ_OQ)),
                                          narrow_mask(_mm256_cmp_pd(gx0, _mm256_setzero_pd(), _CMP_EQ_OQ)));
    const __m256i undecided = _mm256_andnot_si256(zero, _mm256_castps_si256(near_whole));
    level = _mm256_andnot_si256(zero, level);
    if (_mm256_movemask_ps(_mm256_castsi256_ps(undecided)) != 0) {
        // The exact quotients, and their buckets from the double's bits.
        const __m256d r0 = _mm256_div_pd(gy0, gx0), r1 = _mm256_div_pd(gy1, gx1);
        const __m256i exact = _mm256_and_si256(
            _mm256_i32gather_epi32(reinterpret_cast<const int *>(table),
                                   _mm256_set_m128i(double_index4(r1), double_index4(r0)), 1),
            _mm256_set1_epi32(0xFF));
        level = _mm256_blendv_epi8(level, exact, undecided);
        const int lanes = _mm256_movemask_ps(_mm256_castsi256_ps(
            _mm256_and_si256(undecided, _mm256_cmpeq_epi32(exact, _mm256_set1_epi32(255)))));
        if (lanes != 0) {  // near a step between levels: the reference arithmetic
            alignas(32) double r[8];
            alignas(32) int32_t out[8];
            _mm256_store_pd(r, r0);
            _mm256_store_pd(r + 4, r1);
            _mm256_store_si256(reinterpret_cast<__m256i *>(out), level);
            for (int k = 0; k < 8; ++k)
                if (lanes & (1 << k)) out[k] = direction_level_of_reference(r[k]);
            level = _mm256_load_si256(reinterpret_cast<const __m256i *>(out));
        }
    }
    return level;
}

inline void direction16(const double *t0, const double *t1, const double *t2, uint8_t *d, size_t x,
                        const unsigned char *table) {
    const __m256i a = direction8(t0, t1, t2, x, table), b = direction8(t0, t1, t2, x + 8, table);
    store_grey16(d + 3 * x, _mm_packus_epi16(words8(a), words8(b)));
}

}  // namespace

void direction(const double *t0, const double *t1, const double *t2, color_type *dst, size_t n) {
    if (n < 16) {
        portable::direction(t0, t1, t2, dst, n);
        return;
    }
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t x = 0;
    const unsigned char *table = direction_table();
    for (; x + 16 <= n; x += 16) direction16(t0, t1, t2, d, x, table);
    if (x < n) direction16(t0, t1, t2, d, n - 16, table);
}

namespace {

// ---- Point filters ----------------------------------------------------------

inline __m256i absdiff_u8(__m256i a, __m256i b) {
    return _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a));
}

// 5 * (d1 + d2) saturated: with t = min(d1 +sat d2, 52), 4t stays in a byte and
// 4t + t saturates exactly when 5 (d1 + d2) > 255.
inline __m256i at(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)); }

inline void edge32(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t i) {
    const __m256i c = at(row + i);
    const __m256i s = _mm256_adds_epu8(absdiff_u8(c, at(row + i + 3)), absdiff_u8(c, at(below + i)));
    const __m256i t = _mm256_min_epu8(s, _mm256_set1_epi8(52));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), _mm256_adds_epu8(_mm256_slli_epi16(t, 2), t));
}

}  // namespace

void edge(const uint8_t *row, const uint8_t *below, uint8_t *dst, size_t n) {
    if (n < 32) {
        portable::edge(row, below, dst, n);
        return;
    }
    size_t i = 0;
    for (; i + 32 <= n; i += 32) edge32(row, below, dst, i);
    if (i < n) edge32(row, below, dst, n - 32);
}

namespace {

inline void threshold16(const uint8_t *s, uint8_t *d, __m256i first_black) {
    const __m256i q0 = square_sums8(load_pixels8(s)), q1 = square_sums8(load_pixels8(s + 24));
    store_grey16(d, pack_masks16(_mm256_cmpgt_epi32(first_black, q0), _mm256_cmpgt_epi32(first_black, q1)));
}

}  // namespace

void threshold(const color_type *src, color_type *dst, size_t n, uint32_t first_black) {
    if (n < 16) {
        portable::threshold(src, dst, n, first_black);
        return;
    }
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    const __m256i fb = _mm256_set1_epi32(static_cast<int>(first_black));
    size_t x = 0;
    for (; x + 16 <= n; x += 16) threshold16(s + 3 * x, d + 3 * x, fb);
    if (x < n) threshold16(s + 3 * (n - 16), d + 3 * (n - 16), fb);
}

namespace {

inline void classify16(const uint8_t *s, uint8_t *cls, __m256i above, __m256i below) {
    const __m256i q0 = square_sums8(load_pixels8(s)), q1 = square_sums8(load_pixels8(s + 24));
    const __m128i not_above = pack_masks16(_mm256_cmpgt_epi32(above, q0), _mm256_cmpgt_epi32(above, q1));
    const __m128i is_below = pack_masks16(_mm256_cmpgt_epi32(below, q0), _mm256_cmpgt_epi32(below, q1));
    const __m128i c = _mm_or_si128(_mm_andnot_si128(not_above, _mm_set1_epi8(1)),
                                   _mm_and_si128(is_below, _mm_set1_epi8(2)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(cls), c);
}

}  // namespace

void classify(const color_type *src, uint8_t *cls, size_t n, uint32_t above, uint32_t below) {
    if (n < 16) {
        portable::classify(src, cls, n, above, below);
        return;
    }
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    const __m256i a = _mm256_set1_epi32(static_cast<int>(above)),
                  b = _mm256_set1_epi32(static_cast<int>(below));
    size_t x = 0;
    for (; x + 16 <= n; x += 16) classify16(s + 3 * x, cls + x, a, b);
    if (x < n) classify16(s + 3 * (n - 16), cls + n - 16, a, b);
}

// Row crossings. Where the reference class and 16 classes in a row are all
// 1 or 2, each pixel's reference is simply the class of the pixel before
// (every pixel either matches it or crosses and takes over), so the
// crossings are the changes of class; anything else goes pixel by pixel.
void cross_row(const uint8_t *cls, color_type *dst, size_t n, unsigned int *reference) {
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    unsigned int r = *reference;
    size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        if (r == 0) break;  // a reference at the threshold never crosses
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cls + x));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_setzero_si128())) != 0) {
            portable::cross_row(cls + x, dst + x, 16, &r);
            continue;
        }
        const __m128i before = _mm_alignr_epi8(c, _mm_set1_epi8(static_cast<char>(r)), 15);
        store_grey16(d + 3 * x, _mm_xor_si128(_mm_cmpeq_epi8(c, before), _mm_set1_epi8(-1)));
        r = static_cast<unsigned int>(_mm_extract_epi8(c, 15));
    }
    if (x < n) portable::cross_row(cls + x, dst + x, n - x, &r);
    *reference = r;
}

void cross_column(const uint8_t *cls, uint8_t *reference, color_type *dst, size_t n) {
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    const __m128i three = _mm_set1_epi8(3);
    size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(cls + x));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(reference + x));
        const __m128i cross = _mm_cmpeq_epi8(_mm_or_si128(r, c), three);
        if (_mm_movemask_epi8(cross) == 0) continue;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(reference + x), _mm_blendv_epi8(r, c, cross));
        or_grey16(d + 3 * x, cross);
    }
    if (x < n) portable::cross_column(cls + x, reference + x, dst + x, n - x);
}

// Erode: the tests that look only at the rows above and below, and the
// camera pixels' red bytes, 16 pixels at a time; then the dependence on the
// pixel to the left for all 16 at once (erode_marks); then the output.
void erode(const uint8_t *cp, const uint8_t *cc, const uint8_t *cn, const color_type *up,
           const color_type *save, color_type *out, size_t n, unsigned int *left) {
    const uint8_t *u = reinterpret_cast<const uint8_t *>(up);
    const uint8_t *s = reinterpret_cast<const uint8_t *>(save);
    uint8_t *d = reinterpret_cast<uint8_t *>(out);
    const __m128i one = _mm_set1_epi8(1), two = _mm_set1_epi8(2), full = _mm_set1_epi8(-1);
    unsigned int carry = *left;
    size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i up_hi = _mm_cmpeq_epi8(_mm_and_si128(load128(cp + x), one), one);
        const __m128i up_left_hi = _mm_cmpeq_epi8(_mm_and_si128(load128(cp + x - 1), one), one);
        const __m128i down_lo = _mm_cmpeq_epi8(_mm_and_si128(load128(cn + x), two), two);
        const __m128i down_right_lo = _mm_cmpeq_epi8(_mm_and_si128(load128(cn + x + 1), two), two);
        const __m128i left_hi = _mm_cmpeq_epi8(_mm_and_si128(load128(cc + x - 1), one), one);
        const __m128i right_lo = _mm_cmpeq_epi8(_mm_and_si128(load128(cc + x + 1), two), two);
        const __m128i above_marked = _mm_cmpeq_epi8(red_bytes16(u + 3 * x), full);
        const __m128i above_left_marked = _mm_cmpeq_epi8(red_bytes16(u + 3 * x - 3), full);
        const __m128i camera_marked = _mm_cmpeq_epi8(red_bytes16(s + 3 * x), full);
        const __m128i vertical = _mm_andnot_si128(above_marked, _mm_and_si128(up_hi, down_lo));
        const __m128i diagonal =
            _mm_andnot_si128(above_left_marked, _mm_and_si128(up_left_hi, down_right_lo));
        const unsigned int a = static_cast<unsigned int>(_mm_movemask_epi8(_mm_or_si128(vertical, diagonal)));
        const unsigned int h = static_cast<unsigned int>(_mm_movemask_epi8(_mm_and_si128(left_hi, right_lo)));
        const unsigned int g = a | static_cast<unsigned int>(_mm_movemask_epi8(camera_marked));
        const unsigned int marked = static_cast<unsigned int>(erode_marks(g, h, carry));
        const unsigned int left_marked = (marked << 1) | carry;  // bit k: the pixel left of pixel x + k
        carry = (marked >> 15) & 1u;
        const unsigned int marks = (a | (h & ~left_marked)) & 0xFFFF;
        blend_red16(s + 3 * x, d + 3 * x, bits_to_bytes16(marks));
    }
    if (x < n) portable::erode(cp + x, cc + x, cn + x, up + x, save + x, out + x, n - x, &carry);
    *left = carry;
}

// floor((s + l) / 2) = rounded-up average minus the lost low bit.
void average(const uint8_t *src, uint8_t *last, uint8_t *dst, size_t n) {
    const __m256i one = _mm256_set1_epi8(1);
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i));
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(last + i));
        const __m256i avg =
            _mm256_sub_epi8(_mm256_avg_epu8(s, l), _mm256_and_si256(_mm256_xor_si256(s, l), one));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + i), avg);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(last + i), s);
    }
    if (i < n) portable::average(src + i, last + i, dst + i, n - i);
}

namespace {

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

// Byte k of 8 pixels holds state channel rc_channel(k) and the other way round.
constexpr int rc_channel(int k) { return 3 * (k / 3) + 2 - k % 3; }

// Per 4 state channels from group g: the byte shuffle that makes each
// channel's 64-bit lane the double 2^52 + x, x its camera byte: x at the
// bottom, zeros, then the exponent bytes 0x30 0x43. The source holds bytes
// 0..15 (groups 0..2, which read bytes 0..11 and find the exponent bytes in
// 12 and 13) or 8..23 (groups 3..5, which read bytes 12..23 and find them in
// 8 and 9) in both halves.
struct rc_shuffles {
    alignas(32) int8_t camera[6][32];
    constexpr rc_shuffles() : camera() {
        for (int g = 0; g < 6; ++g)
            for (int j = 0; j < 4; ++j) {
                const int lane = 16 * (j / 2) + 8 * (j % 2);
                camera[g][lane] = static_cast<int8_t>(rc_channel(4 * g + j) - (g < 3 ? 0 : 8));
                for (int b = 1; b < 6; ++b) camera[g][lane + b] = -128;
                camera[g][lane + 6] = g < 3 ? 12 : 0;
                camera[g][lane + 7] = g < 3 ? 13 : 1;
            }
    }
};
constexpr rc_shuffles rc_shuffle{};

// The reference's sum s * 0.99f + x * 0.01f, one rounding to double, of 4
// channels. `magic` holds the double 2^52 + x in each 64-bit lane, and
// (2^52 + x) * 0.01f - 2^52 * 0.01f is x * 0.01f exactly (8 x 24 bits fit
// a double), in one fused multiply-subtract. s * 0.99f is exact too
// (24 x 24 bits), so one fused multiply-add rounds exactly as the
// reference's product and sum.
inline __m128 rc_sum4(const float *state, __m256i magic) {
    const __m256d keep = _mm256_set1_pd(static_cast<double>(0.99f));
    const __m256d take = _mm256_set1_pd(static_cast<double>(0.01f));
    const __m256d take_big = _mm256_set1_pd(4503599627370496.0 * static_cast<double>(0.01f));
    const __m256d x = _mm256_fmsub_pd(_mm256_castsi256_pd(magic), take, take_big);
    return _mm256_cvtpd_ps(_mm256_fmadd_pd(_mm256_cvtps_pd(_mm_loadu_ps(state)), keep, x));
}

// 8 channels: below 0 becomes +0 and above 255 becomes 255; NaN and -0
// stay (max and min return their second operand unless the first is
// strictly greater or smaller, as the reference compares). Stored; the
// truncated values returned.
inline __m256i rc_store8(float *state, __m128 lo, __m128 hi) {
    __m256 f = _mm256_insertf128_ps(_mm256_castps128_ps256(lo), hi, 1);
    f = _mm256_max_ps(_mm256_setzero_ps(), f);
    f = _mm256_min_ps(_mm256_set1_ps(255.0f), f);
    _mm256_storeu_ps(state, f);
    return _mm256_cvttps_epi32(f);
}

}  // namespace

void rc(const color_type *src, float *state, color_type *dst, size_t n) {
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    __m256i camera[6];
    for (int g = 0; g < 6; ++g)
        camera[g] = _mm256_load_si256(reinterpret_cast<const __m256i *>(rc_shuffle.camera[g]));
    const __m256i exponent = _mm256_set1_epi32(0x4330);  // bytes 0x30 0x43 0 0 in every dword
    size_t p = 0;
    for (; p + 8 <= n; p += 8) {
        const uint8_t *in = s + 3 * p;
        float *st = state + 3 * p;
        // Bytes 0..15 and 8..23, each with the exponent bytes put in a dword
        // its groups do not read.
        const __m256i b0 = _mm256_blend_epi32(
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in))), exponent,
            0x88);
        const __m256i b1 = _mm256_blend_epi32(
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + 8))), exponent,
            0x11);
        __m256i v[3];
        for (int k = 0; k < 3; ++k) {
            const __m256i from = k == 0 ? b0 : (k == 2 ? b1 : b0);
            const __m256i from_hi = k == 0 ? b0 : b1;
            v[k] = rc_store8(st + 8 * k, rc_sum4(st + 8 * k, _mm256_shuffle_epi8(from, camera[2 * k])),
                             rc_sum4(st + 8 * k + 4, _mm256_shuffle_epi8(from_hi, camera[2 * k + 1])));
        }
        // Bytes: channels 0-3 8-11 16-19 16-19 | 4-7 12-15 20-23 20-23, then
        // 0..15 in the low half and 8..23 in the high half.
        const __m256i words = _mm256_packus_epi32(v[0], v[1]);
        const __m256i bytes = _mm256_packus_epi16(words, _mm256_packus_epi32(v[2], v[2]));
        const __m256i ordered = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 1, 5, 2, 6));
        __m128i out_lo, out_hi;
        reverse_triples(_mm256_castsi256_si128(ordered), _mm256_extracti128_si256(ordered, 1), out_lo,
                        out_hi);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * p), out_lo);
        _mm_storel_epi64(reinterpret_cast<__m128i *>(d + 3 * p + 16), out_hi);
    }
    if (p < n) portable::rc(src + p, state + 3 * p, dst + p, n - p);
}

namespace {

// ---- Tracking ---------------------------------------------------------------

}  // namespace

// m = trunc(sqrt(dq)) for dq >= min_sum, else 0. A float root is exact
// enough: dq < 2^24 is exact in a float, and for a non-square dq the root
// stays more than 1/884 below the next integer, far more than a float's
// rounding error below 512.
void track(const color_type *src, color_type *last, color_type *dst, size_t n, unsigned int x0, bool diff,
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
    __m256i xs =
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(x0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
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
    if (x < n)
        portable::track(src + x, last + x, dst + x, n - x, x0 + static_cast<unsigned int>(x), diff, total,
                        moment);
}

// Checks third_of against the division for every length (the hardware
// square roots of 0 .. 3 * 255^2), once, on first use.
bool third_exact() {
    static const bool exact = [] {
        count_proof();
        alignas(32) double lengths[4], thirds[4];
        for (uint32_t q = 0; q <= max_square_sum; q += 4) {
            const __m256d l = _mm256_sqrt_pd(_mm256_cvtepi32_pd(
                _mm_add_epi32(_mm_set1_epi32(static_cast<int>(q)), _mm_setr_epi32(0, 1, 2, 3))));
            _mm256_store_pd(lengths, l);
            _mm256_store_pd(thirds, third_of(l));
            for (int k = 0; k < 4 && q + k <= max_square_sum; ++k)
                if (thirds[k] != _mm_cvtsd_f64(_mm_div_sd(_mm_set_sd(lengths[k]), _mm_set_sd(3.0))))
                    return false;
        }
        return true;
    }();
    return exact;
}

}  // namespace avx2
}  // namespace kernels

#endif
