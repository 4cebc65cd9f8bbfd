// The chain's kernels and their factors, written out once for the tests and
// benchmarks that call the filters with the chain's arguments by hand (the
// pipeline keeps its own tables private, so these stay an independent record).
#pragma once

// clang-format off
inline constexpr double gauss_blur[25] = {2, 4, 5, 4, 2,   4, 9, 12, 9, 4,   5, 12, 15, 12, 5,   4, 9, 12, 9, 4,   2, 4, 5, 4, 2};
inline constexpr double laplace5[25] = {0, 0, 1, 0, 0,   0, 1, 2, 1, 0,   1, 2, -16, 2, 1,   0, 1, 2, 1, 0,   0, 0, 1, 0, 0};
inline constexpr double sharpness[9] = {0, -1, 0,   -1, 5, -1,   0, -1, 0};
inline constexpr double embossing[9] = {2, 0, 0,   0, -1, 0,   0, 0, -1};
inline constexpr double sobel_x[9] = {-1, 0, 1,   -2, 0, 2,   -1, 0, 1};
inline constexpr double sobel_y[9] = {-1, -2, -1,   0, 0, 0,   1, 2, 1};
// clang-format on
inline constexpr double gauss_factor = 1.0 / 159.0;
inline constexpr double sobel_scale = 1.0 / 3.0;
