// The one dispatcher of the row kernels: which instruction sets this build
// and this processor offer, which one the filters use now, and its table.
// The filters pick their kernels by the active level on every call; the
// portable level is always available and every level gives the same bytes.
//
// The environment variable LUMIVEX_SIMD=portable|avx2|avx512 lowers the
// supported level for the whole process (never raises it): for tests,
// benchmarks and anyone who suspects a fast path.
#pragma once

#include "kernels/kernels.h"

enum class simd_level : int {
    portable = 0,  // plain C++ rows
    avx2 = 1,      // x86-64 with AVX2 and FMA, chosen at run time
    avx512 = 2,    // AVX2 rows, some replaced by AVX-512 (F, BW, VL, VBMI) ones
};

// Best level this build, this processor and LUMIVEX_SIMD allow.
simd_level simd_supported();
// Level the filters use now: the supported one unless lowered by simd_select.
simd_level simd_active();
// Selects a level (for tests and benchmarks); a level above the supported one
// falls back to the supported one. Not for use while a filter runs.
void simd_select(simd_level level);
// "portable", "AVX2" or "AVX-512".
const char *simd_name(simd_level level);
// The level named "portable", "avx2" or "avx512" (as LUMIVEX_SIMD takes
// them); false for any other text.
bool simd_parse(const char *text, simd_level &level);
// The level a process gets on a machine offering `hardware` with
// LUMIVEX_SIMD set to `setting` (null when unset): the lower of the two; an
// unknown setting is ignored.
simd_level simd_allowed(simd_level hardware, const char *setting);

namespace kernels {

// The table of a level (at most the supported one); every entry is filled.
const row_kernels &kernels_for(simd_level level);
// The table of simd_active().
const row_kernels &active_kernels();

}  // namespace kernels

// x86-64 compilers for which the AVX2 and AVX-512 rows are built: GCC and
// clang compile avx2.cpp and avx512.cpp with their own target flags (set in
// src/CMakeLists.txt), MSVC accepts the intrinsics as they are.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(_MSC_VER))
#define LUMIVEX_HAVE_AVX2_ROWS 1
#else
#define LUMIVEX_HAVE_AVX2_ROWS 0
#endif
