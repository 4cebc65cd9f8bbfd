// A program linked with the filters starts without working out any of the
// kernels' exactness checks or tables: they are built on first use, after
// main has started. Its own program (not a gtest case) so that nothing but
// static initialisation has run when main begins.
#include <cstdio>
#include <cstring>
#include <vector>

#include "filters/filters.h"
#include "kernels/exact.h"

namespace {

int failures = 0;

// clang-format off
const double gauss_kernel[25] = {
    2, 4,  5,  4,  2,
    4, 9,  12, 9,  4,
    5, 12, 15, 12, 5,
    4, 9,  12, 9,  4,
    2, 4,  5,  4,  2,
};
// clang-format on

bool same(const std::vector<color_type> &a, const std::vector<color_type> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(color_type)) == 0;
}

void check(bool ok, const char *what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

}  // namespace

int main() {
    check(kernels::proofs_run() == 0, "no check or table was worked out before main");

    frame_set f;
    f.size_x = 37;
    f.size_y = 23;
    const size_t n = f.pixels();
    std::vector<color_type> source(n), fast(n), reference(n);
    for (size_t i = 0; i < n; ++i)
        source[i] = color_type{static_cast<unsigned char>(i * 7), static_cast<unsigned char>(i * 13),
                               static_cast<unsigned char>(i * 31)};

    transform_frame(f, source.data(), fast.data(), gauss_kernel, 5, 1.0 / 159.0, 0.0);
    transform_frame_reference(f, source.data(), reference.data(), gauss_kernel, 5, 1.0 / 159.0, 0.0);
    const unsigned int after_gauss = kernels::proofs_run();
    check(after_gauss > 0, "the Gaussian's check ran on first use");
    check(same(fast, reference), "the Gaussian gave the reference's bytes");

    combo_edgedetect_frame(f, source.data(), fast.data(), 0.0);
    combo_edgedetect_frame_reference(f, source.data(), reference.data(), 0.0);
    check(kernels::proofs_run() > after_gauss, "the direction table was built on first use");
    check(same(fast, reference), "the combo edge gave the reference's bytes");

    transform_frame(f, source.data(), fast.data(), gauss_kernel, 5, 1.0 / 159.0, 0.0);
    combo_edgedetect_frame(f, source.data(), fast.data(), 0.0);
    const unsigned int settled = kernels::proofs_run();
    transform_frame(f, source.data(), fast.data(), gauss_kernel, 5, 1.0 / 159.0, 0.0);
    check(kernels::proofs_run() == settled, "a check is worked out once");
    return failures == 0 ? 0 : 1;
}
