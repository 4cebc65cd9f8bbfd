#include "filters/simd.h"

#include <atomic>

#if LUMIVEX_HAVE_AVX2_ROWS && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace {

simd_level detect() {
#if LUMIVEX_HAVE_AVX2_ROWS && (defined(__GNUC__) || defined(__clang__))
    // libgcc's checks include the operating system's support for the AVX
    // and AVX-512 register state.
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) return simd_level::portable;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi"))
        return simd_level::avx512;
    return simd_level::avx2;
#elif LUMIVEX_HAVE_AVX2_ROWS && defined(_MSC_VER)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return simd_level::portable;
    __cpuid(info, 1);
    const bool osxsave = (info[2] & (1 << 27)) != 0, avx = (info[2] & (1 << 28)) != 0;
    const bool fma = (info[2] & (1 << 12)) != 0;
    if (!osxsave || !avx || !fma) return simd_level::portable;
    const unsigned long long xcr0 = _xgetbv(0);
    if ((xcr0 & 0x6) != 0x6) return simd_level::portable;  // XMM and YMM state
    __cpuidex(info, 7, 0);
    if ((info[1] & (1 << 5)) == 0) return simd_level::portable;
    const bool avx512 = (info[1] & (1 << 16)) && (info[1] & (1 << 30)) && (info[1] & (1u << 31)) &&
                        (info[2] & (1 << 1)) && (xcr0 & 0xE6) == 0xE6;  // opmask and ZMM state
    return avx512 ? simd_level::avx512 : simd_level::avx2;
#else
    return simd_level::portable;
#endif
}

std::atomic<int> &selected() {
    static std::atomic<int> level{static_cast<int>(simd_supported())};
    return level;
}

}  // namespace

simd_level simd_supported() {
    static const simd_level supported = detect();
    return supported;
}

simd_level simd_active() { return static_cast<simd_level>(selected().load(std::memory_order_relaxed)); }

void simd_select(simd_level level) {
    if (static_cast<int>(level) > static_cast<int>(simd_supported())) level = simd_supported();
    selected().store(static_cast<int>(level), std::memory_order_relaxed);
}

const char *simd_name(simd_level level) {
    switch (level) {
    case simd_level::avx2: return "AVX2";
    case simd_level::avx512: return "AVX-512";
    default: return "portable";
    }
}
