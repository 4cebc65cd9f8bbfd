#include "filters/simd.h"

#include <atomic>

#if LUMIVEX_HAVE_AVX2_ROWS && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace {

bool processor_has_avx2() {
#if LUMIVEX_HAVE_AVX2_ROWS && (defined(__GNUC__) || defined(__clang__))
    // libgcc's check includes the operating system's support for the AVX state.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
#elif LUMIVEX_HAVE_AVX2_ROWS && defined(_MSC_VER)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    const bool osxsave = (info[2] & (1 << 27)) != 0;
    const bool avx = (info[2] & (1 << 28)) != 0;
    if (!osxsave || !avx) return false;
    if ((_xgetbv(0) & 0x6) != 0x6) return false;  // XMM and YMM state enabled
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
#else
    return false;
#endif
}

simd_level detect() { return processor_has_avx2() ? simd_level::avx2 : simd_level::portable; }

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
