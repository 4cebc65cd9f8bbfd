// The dispatcher: its tables and the LUMIVEX_SIMD setting.
#include <gtest/gtest.h>

#include <vector>

#include "kernels/dispatch.h"

namespace {

// The table's entries in member order, to compare tables entry by entry.
std::vector<const void *> entries(const kernels::row_kernels &k) {
    std::vector<const void *> out;
#define LUMIVEX_TEST_ENTRY(name) out.push_back(reinterpret_cast<const void *>(k.name));
    LUMIVEX_ROW_KERNELS(LUMIVEX_TEST_ENTRY)
#undef LUMIVEX_TEST_ENTRY
    return out;
}

}  // namespace

TEST(Dispatch, SettingOnlyLowersTheLevel) {
    const simd_level all[] = {simd_level::portable, simd_level::avx2, simd_level::avx512};
    const char *names[] = {"portable", "avx2", "avx512"};
    for (int h = 0; h < 3; ++h) {
        EXPECT_EQ(simd_allowed(all[h], nullptr), all[h]);
        EXPECT_EQ(simd_allowed(all[h], ""), all[h]);
        EXPECT_EQ(simd_allowed(all[h], "AVX2"), all[h]) << "names are lower case";
        EXPECT_EQ(simd_allowed(all[h], "sse2"), all[h]);
        for (int s = 0; s < 3; ++s) EXPECT_EQ(simd_allowed(all[h], names[s]), all[s < h ? s : h]) << h << s;
    }
}

// Every table is complete, each level's table is its own, and the AVX-512
// table takes from AVX2 all but the four kernels it replaces.
TEST(Dispatch, TablesAreCompleteAndFilledByName) {
    const kernels::row_kernels &portable = kernels::kernels_for(simd_level::portable);
    EXPECT_EQ(portable.gauss5, &kernels::portable::gauss5);
    EXPECT_EQ(portable.track, &kernels::portable::track);
    for (const void *entry : entries(portable)) EXPECT_NE(entry, nullptr);
    if (simd_supported() == simd_level::portable) {
        EXPECT_EQ(&kernels::kernels_for(simd_level::avx512), &portable) << "a level above the supported one";
        return;
    }
#if LUMIVEX_HAVE_AVX2_ROWS
    const kernels::row_kernels &avx2 = kernels::kernels_for(simd_level::avx2);
    const std::vector<const void *> p = entries(portable), a = entries(avx2);
    for (size_t i = 0; i < a.size(); ++i) EXPECT_NE(a[i], p[i]) << "entry " << i << " is the portable kernel";
    EXPECT_EQ(avx2.laplace5, &kernels::avx2::laplace5);
    EXPECT_EQ(avx2.erode, &kernels::avx2::erode);
    if (simd_supported() != simd_level::avx512) return;
    const kernels::row_kernels &avx512 = kernels::kernels_for(simd_level::avx512);
    EXPECT_EQ(avx512.scale, &kernels::avx512::scale);
    EXPECT_EQ(avx512.sobel, &kernels::avx512::sobel);
    EXPECT_EQ(avx512.direction, &kernels::avx512::direction);
    EXPECT_EQ(avx512.rc, &kernels::avx512::rc);
    EXPECT_EQ(avx512.gauss5, &kernels::avx512::gauss5);
    EXPECT_EQ(avx512.laplace5, &kernels::avx512::laplace5);
    EXPECT_EQ(avx512.sharpen3, &kernels::avx512::sharpen3);
    EXPECT_EQ(avx512.emboss3, &kernels::avx512::emboss3);
    EXPECT_EQ(avx512.gradient, &kernels::avx512::gradient);
    EXPECT_EQ(avx512.suppress, &kernels::avx512::suppress);
    EXPECT_EQ(avx512.length, &kernels::avx512::length);
    EXPECT_EQ(avx512.third_length, &kernels::avx512::third_length);
    EXPECT_EQ(avx512.erode, &kernels::avx512::erode);
    kernels::row_kernels rest = avx512;
    rest.gauss5 = avx2.gauss5;
    rest.laplace5 = avx2.laplace5;
    rest.sharpen3 = avx2.sharpen3;
    rest.emboss3 = avx2.emboss3;
    rest.scale = avx2.scale;
    rest.sobel = avx2.sobel;
    rest.direction = avx2.direction;
    rest.rc = avx2.rc;
    rest.gradient = avx2.gradient;
    rest.suppress = avx2.suppress;
    rest.length = avx2.length;
    rest.erode = avx2.erode;
    rest.third_length = avx2.third_length;
    EXPECT_EQ(entries(rest), a);
#endif
}

TEST(Dispatch, ActiveTableFollowsTheSelectedLevel) {
    for (simd_level level : {simd_level::portable, simd_level::avx2, simd_level::avx512}) {
        simd_select(level);
        EXPECT_EQ(&kernels::active_kernels(), &kernels::kernels_for(level)) << simd_name(level);
    }
    simd_select(simd_supported());
}
