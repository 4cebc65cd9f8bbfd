// Load, store and shuffle helpers shared by the x86 kernel files (avx2.cpp,
// avx512.cpp), which are compiled for AVX2 or more. Internal linkage: each
// of those files gets its own copy, built for its own target.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace kernels {
namespace {

// The value, which the compiler may no longer treat as a known constant
// (GCC and clang; elsewhere the value as it is).
template <class V>
inline V opaque(V v) {
#if defined(__GNUC__) || defined(__clang__)
    asm("" : "+v"(v));
#endif
    return v;
}

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

// The 3-byte masks of 16 pixels from one mask byte per pixel, ORed into the
// 48 bytes at d.
inline void or_grey16(uint8_t *d, __m128i v) {
    const __m128i s0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i s1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i s2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    __m128i *p = reinterpret_cast<__m128i *>(d);
    _mm_storeu_si128(p, _mm_or_si128(_mm_loadu_si128(p), _mm_shuffle_epi8(v, s0)));
    _mm_storeu_si128(p + 1, _mm_or_si128(_mm_loadu_si128(p + 1), _mm_shuffle_epi8(v, s1)));
    _mm_storeu_si128(p + 2, _mm_or_si128(_mm_loadu_si128(p + 2), _mm_shuffle_epi8(v, s2)));
}

// 16 pixels from `save`, red (0, 0, 255) where the mask byte is set.
inline void blend_red16(const uint8_t *save, uint8_t *d, __m128i mask) {
    const __m128i s0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i s1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i s2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    const char f = -1;
    const __m128i r0 = _mm_setr_epi8(0, 0, f, 0, 0, f, 0, 0, f, 0, 0, f, 0, 0, f, 0);
    const __m128i r1 = _mm_setr_epi8(0, f, 0, 0, f, 0, 0, f, 0, 0, f, 0, 0, f, 0, 0);
    const __m128i r2 = _mm_setr_epi8(f, 0, 0, f, 0, 0, f, 0, 0, f, 0, 0, f, 0, 0, f);
    const __m128i *s = reinterpret_cast<const __m128i *>(save);
    __m128i *p = reinterpret_cast<__m128i *>(d);
    _mm_storeu_si128(p, _mm_blendv_epi8(_mm_loadu_si128(s), r0, _mm_shuffle_epi8(mask, s0)));
    _mm_storeu_si128(p + 1, _mm_blendv_epi8(_mm_loadu_si128(s + 1), r1, _mm_shuffle_epi8(mask, s1)));
    _mm_storeu_si128(p + 2, _mm_blendv_epi8(_mm_loadu_si128(s + 2), r2, _mm_shuffle_epi8(mask, s2)));
}

// The red bytes of the 16 pixels at p (48 bytes read).
inline __m128i red_bytes16(const uint8_t *p) {
    const char z = -128;
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
    const __m128i ra = _mm_shuffle_epi8(a, _mm_setr_epi8(2, 5, 8, 11, 14, z, z, z, z, z, z, z, z, z, z, z));
    const __m128i rb = _mm_shuffle_epi8(b, _mm_setr_epi8(z, z, z, z, z, 1, 4, 7, 10, 13, z, z, z, z, z, z));
    const __m128i rc = _mm_shuffle_epi8(c, _mm_setr_epi8(z, z, z, z, z, z, z, z, z, z, 0, 3, 6, 9, 12, 15));
    return _mm_or_si128(_mm_or_si128(ra, rb), rc);
}

// Eight 32-bit lanes as signed-saturated 16-bit words.
inline __m128i words8(__m256i v) {
    return _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

inline __m128i load128(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

// One byte (0 or 0xFF) per bit of m.
inline __m128i bits_to_bytes16(unsigned int m) {
    const __m128i select = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
    __m128i b = _mm_shuffle_epi8(_mm_cvtsi32_si128(static_cast<int>(m)),
                                 _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
    return _mm_cmpeq_epi8(_mm_and_si128(b, select), select);
}

}  // namespace
}  // namespace kernels
