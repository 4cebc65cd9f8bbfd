// CPU detection, the LUMIVEX_SIMD setting, and the kernel tables, filled
// name by name from each instruction set's functions.
#include "kernels/dispatch.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    static const simd_level supported = [] {
        const char *setting = std::getenv("LUMIVEX_SIMD");
        simd_level ignored;
        if (setting && *setting && !simd_parse(setting, ignored))
            std::fprintf(stderr, "lumivex: LUMIVEX_SIMD=%s ignored: use portable, avx2 or avx512\n", setting);
        return simd_allowed(detect(), setting);
    }();
    return supported;
}

bool simd_parse(const char *text, simd_level &level) {
    if (!text) return false;
    if (std::strcmp(text, "portable") == 0)
        level = simd_level::portable;
    else if (std::strcmp(text, "avx2") == 0)
        level = simd_level::avx2;
    else if (std::strcmp(text, "avx512") == 0)
        level = simd_level::avx512;
    else
        return false;
    return true;
}

simd_level simd_allowed(simd_level hardware, const char *setting) {
    simd_level wanted;
    if (!simd_parse(setting, wanted) || static_cast<int>(wanted) >= static_cast<int>(hardware)) return hardware;
    return wanted;
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

namespace kernels {
namespace {

#define LUMIVEX_FILL_FROM(set) [] {              \
    row_kernels k{};                              \
    LUMIVEX_ROW_KERNELS(LUMIVEX_FILL_ENTRY_##set) \
    return k;                                     \
}()
#define LUMIVEX_FILL_ENTRY_portable(name) k.name = portable::name;
#define LUMIVEX_FILL_ENTRY_avx2(name) k.name = avx2::name;

// Every member of the table is one entry of LUMIVEX_ROW_KERNELS.
#define LUMIVEX_COUNT_ENTRY(name) +1
static_assert(sizeof(row_kernels) == (0 LUMIVEX_ROW_KERNELS(LUMIVEX_COUNT_ENTRY)) * sizeof(gauss5_row *),
              "row_kernels has a member that LUMIVEX_ROW_KERNELS does not list");
#undef LUMIVEX_COUNT_ENTRY

const row_kernels &portable_set() {
    static const row_kernels set = LUMIVEX_FILL_FROM(portable);
    return set;
}

#if LUMIVEX_HAVE_AVX2_ROWS
const row_kernels &avx2_set() {
    static const row_kernels set = LUMIVEX_FILL_FROM(avx2);
    return set;
}

// AVX2, with the kernels that AVX-512 does in fewer instructions replaced.
const row_kernels &avx512_set() {
    static const row_kernels set = [] {
        row_kernels k = avx2_set();
        k.gauss5 = avx512::gauss5;
        k.laplace5 = avx512::laplace5;
        k.sharpen3 = avx512::sharpen3;
        k.emboss3 = avx512::emboss3;
        k.scale = avx512::scale;
        k.sobel = avx512::sobel;
        k.direction = avx512::direction;
        k.gradient = avx512::gradient;
        k.suppress = avx512::suppress;
        k.length = avx512::length;
        k.third_length = avx512::third_length;
        k.erode = avx512::erode;
        k.rc = avx512::rc;
        return k;
    }();
    return set;
}
#endif

}  // namespace

const row_kernels &kernels_for(simd_level level) {
    if (static_cast<int>(level) > static_cast<int>(simd_supported())) level = simd_supported();
    switch (level) {
#if LUMIVEX_HAVE_AVX2_ROWS
    case simd_level::avx512: return avx512_set();
    case simd_level::avx2: return avx2_set();
#endif
    default: return portable_set();
    }
}

const row_kernels &active_kernels() { return kernels_for(simd_active()); }

}  // namespace kernels
