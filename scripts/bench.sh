#!/usr/bin/env bash
# Sets up (OpenCV included, as the yardstick), builds and runs the benchmarks.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh" bench
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target lumivex_bench
exec build/release/bench/lumivex_bench "$@"
