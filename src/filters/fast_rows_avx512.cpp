// AVX-512 row kernels: the AVX2 set with the RC update replaced by one that
// takes 16 pixels (48 channels) a step. The RC update must be done in double
// precision over single-precision state, and at 256 bits that costs about
// three times the instructions of a plain float update; at 512 bits, with a
// byte permutation for the channel order, about half of that.
//
// Compiled for the AVX-512 target (F, BW, VL, VBMI) by a pragma, or by MSVC
// as is; entered only after the run-time check in simd.cpp. As in the AVX2
// file, everything after the pragma has internal linkage and nothing from a
// library header is instantiated there.
#include "filters/fast_rows.h"
#include "filters/simd.h"

#if LUMIVEX_HAVE_AVX2_ROWS
#include <immintrin.h>

// GCC 12's AVX-512 headers start some results from _mm512_undefined_*(),
// which -Wmaybe-uninitialized reports as uninitialised (GCC bug 105593).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx2,fma"))), \
                             apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512vbmi,avx2,fma")
#endif

namespace fast {
namespace {

// s * 0.99f + x * 0.01f in double for 16 channels, rounded to float; below 0
// becomes 0 and above 255 becomes 255, compared as the reference does.
inline __m512 rc_step16(const float *state, __m128i x16) {
    const __m512d keep = _mm512_set1_pd(static_cast<double>(0.99f));
    const __m512d take = _mm512_set1_pd(static_cast<double>(0.01f));
    const __m512 s = _mm512_loadu_ps(state);
    const __m512i x = _mm512_cvtepu8_epi32(x16);
    const __m512d s_lo = _mm512_cvtps_pd(_mm512_castps512_ps256(s));
    const __m512d s_hi = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(s), 1)));
    const __m512d x_lo = _mm512_cvtepi32_pd(_mm512_castsi512_si256(x));
    const __m512d x_hi = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(x, 1));
    // Both products are exact in double (24 x 24 and 8 x 24 bits), so one
    // fused multiply-add rounds exactly as the reference's product and sum.
    const __m256 f_lo = _mm512_cvtpd_ps(_mm512_fmadd_pd(s_lo, keep, _mm512_mul_pd(x_lo, take)));
    const __m256 f_hi = _mm512_cvtpd_ps(_mm512_fmadd_pd(s_hi, keep, _mm512_mul_pd(x_hi, take)));
    __m512 f = _mm512_castpd_ps(
        _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(f_lo)), _mm256_castps_pd(f_hi), 1));
    f = _mm512_mask_blend_ps(_mm512_cmp_ps_mask(f, _mm512_setzero_ps(), _CMP_LT_OQ), f, _mm512_setzero_ps());
    const __m512 top = _mm512_set1_ps(255.0f);
    return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(f, top, _CMP_GT_OQ), f, top);
}

void rc_avx512(const color_type *src, float *state, color_type *dst, size_t n) {
    // Byte k of 16 pixels <-> byte 3 (k / 3) + 2 - k % 3: b g r <-> r g b.
    alignas(64) uint8_t order[64];
    for (int k = 0; k < 64; ++k) order[k] = static_cast<uint8_t>(k < 48 ? 3 * (k / 3) + 2 - k % 3 : k);
    const __m512i reverse = _mm512_load_si512(order);
    const __mmask64 bytes48 = 0xFFFFFFFFFFFFull;
    const uint8_t *s = reinterpret_cast<const uint8_t *>(src);
    uint8_t *d = reinterpret_cast<uint8_t *>(dst);
    size_t p = 0;
    for (; p + 16 <= n; p += 16) {
        float *st = state + 3 * p;
        const __m512i in = _mm512_permutexvar_epi8(reverse, _mm512_maskz_loadu_epi8(bytes48, s + 3 * p));
        const __m512 f0 = rc_step16(st, _mm512_castsi512_si128(in));
        const __m512 f1 = rc_step16(st + 16, _mm512_extracti32x4_epi32(in, 1));
        const __m512 f2 = rc_step16(st + 32, _mm512_extracti32x4_epi32(in, 2));
        _mm512_storeu_ps(st, f0);
        _mm512_storeu_ps(st + 16, f1);
        _mm512_storeu_ps(st + 32, f2);
        __m512i out = _mm512_castsi128_si512(_mm512_cvtepi32_epi8(_mm512_cvttps_epi32(f0)));
        out = _mm512_inserti32x4(out, _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(f1)), 1);
        out = _mm512_inserti32x4(out, _mm512_cvtepi32_epi8(_mm512_cvttps_epi32(f2)), 2);
        _mm512_mask_storeu_epi8(d + 3 * p, bytes48, _mm512_permutexvar_epi8(reverse, out));
    }
    if (p < n) avx2_kernels()->rc(src + p, state + 3 * p, dst + p, n - p);
}

}  // namespace
}  // namespace fast

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif

const fast::row_kernels *fast::avx512_kernels() {
    if (simd_supported() != simd_level::avx512) return nullptr;
    static const row_kernels set = [] {
        row_kernels k = *avx2_kernels();
        k.rc = rc_avx512;
        return k;
    }();
    return &set;
}

#else

const fast::row_kernels *fast::avx512_kernels() { return nullptr; }

#endif
