// Exhaustive check of the float estimate that the combo edge rows trust
// (kernels::direction_estimate, computed lane for lane by the AVX2 and
// AVX-512 rows) against the level function it estimates,
//
//   f = (atan(gy / gx) + pi/2) / pi * 255,
//
// and of the margin by which the rows trust it (kernels::direction_margin):
// where the estimate lies at least that far from a whole number, the rows
// take its integer part as the level; elsewhere the double arithmetic runs.
//
// Domain. The rows round gx and gy to float and form t = min(|gx|, |gy|) /
// max(|gx|, |gy|) in float, a float in [0, 1]; from there the estimate
// depends only on t, on whether |gy| > |gx| (steep) and on whether the signs
// differ. So the program checks every float t from +0 to 1 (bit patterns 0
// to 0x3f800000, 1 065 353 217 values) in the four cases, passed as
// (1, t), (1, -t), (t, 1) and (t, -1), where min / max gives t exactly, and
// compares each estimate with f of the same inputs in double precision
// (within 1e-12 of a level). Steep cases with t = 0 are gx = 0, which the
// rows send to level 0 before any estimate.
//
// What the rows add before t: the roundings of gx, gy and the quotient to
// float make t = t_exact * (1 + e) with |e| <= 3 * 2^-24 (to first order),
// which moves atan(t) by at most |e| * t / (1 + t^2) <= 1.5 * 2^-24 and f by
// at most 255 / pi times that, 7.3e-6 of a level; the reference's double
// arithmetic stays within 1e-12 of f. The bound on the rows' error is the
// largest error found here plus those two, and it must stay below the margin.
//
//   lumivex_direction_margin [--threads N]
//
// Prints the largest error per case with its t, the bound and the margin.
// Exit status: 0 when the bound is below the margin, 1 if not, 2 on a usage
// error.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kernels/exact.h"

namespace {

const uint32_t last_bits = 0x3f800000u;  // 1.0f
const double pi = 3.141592653589793;
const char *const case_names[4] = {"flat, same signs", "flat, opposite signs", "steep, same signs",
                                   "steep, opposite signs"};

struct worst {
    double error[4] = {0, 0, 0, 0};
    float at[4] = {0, 0, 0, 0};
};

float from_bits(uint32_t bits) {
    float t;
    std::memcpy(&t, &bits, sizeof t);
    return t;
}

void check_range(uint32_t first, uint32_t end, worst &w) {
    for (uint32_t bits = first; bits < end; ++bits) {
        const float t = from_bits(bits);
        const double a = std::atan(static_cast<double>(t));
        // f for r = t, -t, 1/t and -1/t (atan(1/t) = pi/2 - atan(t) for t > 0).
        const double exact[4] = {(a + pi / 2) / pi * 255, (pi / 2 - a) / pi * 255, (pi - a) / pi * 255,
                                 a / pi * 255};
        const float estimate[4] = {
            kernels::direction_estimate(1.0f, t), kernels::direction_estimate(1.0f, -t),
            kernels::direction_estimate(t, 1.0f), kernels::direction_estimate(t, -1.0f)};
        for (int c = 0; c < 4; ++c) {
            if (c >= 2 && bits == 0) continue;
            const double e = std::fabs(static_cast<double>(estimate[c]) - exact[c]);
            if (!(e <= w.error[c])) {  // also catches NaN
                w.error[c] = std::isnan(e) ? INFINITY : e;
                w.at[c] = t;
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    unsigned int threads = std::max(1u, std::thread::hardware_concurrency());
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = static_cast<unsigned int>(std::max(1, std::atoi(argv[++i])));
        } else {
            std::fprintf(stderr, "usage: %s [--threads N]\n", argv[0]);
            return 2;
        }
    }
    const auto start = std::chrono::steady_clock::now();
    const uint64_t count = uint64_t(last_bits) + 1;
    std::vector<worst> results(threads);
    std::vector<std::thread> pool;
    for (unsigned int k = 0; k < threads; ++k)
        pool.emplace_back([&, k] {
            check_range(static_cast<uint32_t>(count * k / threads),
                        static_cast<uint32_t>(count * (k + 1) / threads), results[k]);
        });
    for (std::thread &th : pool) th.join();

    worst all;
    for (const worst &w : results)
        for (int c = 0; c < 4; ++c)
            if (w.error[c] > all.error[c]) {
                all.error[c] = w.error[c];
                all.at[c] = w.at[c];
            }
    double largest = 0;
    std::printf("floats t checked: %llu, four cases each\n", static_cast<unsigned long long>(count));
    for (int c = 0; c < 4; ++c) {
        std::printf("%-22s largest error %.3e of a level, at t = %.9g\n", case_names[c], all.error[c],
                    static_cast<double>(all.at[c]));
        largest = std::max(largest, all.error[c]);
    }
    const double rounding = 1.5 * std::ldexp(1.0, -24) * 255 / pi, reference = 1e-12;
    const double bound = largest + rounding + reference;
    const double margin = kernels::direction_margin;
    std::printf("bound: %.3e (estimate %.3e + input rounding %.3e + reference %.0e)\n", bound, largest,
                rounding, reference);
    std::printf("margin: %.3e, %.1f times the bound: %s\n", margin, margin / bound,
                bound < margin ? "holds" : "FAILS");
    std::printf("time: %.1f s on %u threads\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), threads);
    return bound < margin ? 0 : 1;
}
