// Instruction-set level of the fast filter paths. The filters pick their row
// kernels by the active level on every call; the portable level is always
// available and every level gives the same bytes.
#pragma once

enum class simd_level : int {
    portable = 0,  // plain C++ rows
    avx2 = 1,      // x86-64 with AVX2 and FMA, chosen at run time
    avx512 = 2,    // AVX2 rows, some replaced by AVX-512 (F, BW, VL, VBMI) ones
};

// Best level this build and this processor offer.
simd_level simd_supported();
// Level the filters use now: the supported one unless lowered by simd_select.
simd_level simd_active();
// Selects a level (for tests and benchmarks); a level above the supported one
// falls back to the supported one. Not for use while a filter runs.
void simd_select(simd_level level);
// "portable", "AVX2" or "AVX-512".
const char *simd_name(simd_level level);

// x86-64 compilers for which the AVX2 and AVX-512 rows are built: GCC and
// clang compile them with target attributes, MSVC accepts the intrinsics as
// they are.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(_MSC_VER))
#define LUMIVEX_HAVE_AVX2_ROWS 1
#else
#define LUMIVEX_HAVE_AVX2_ROWS 0
#endif
