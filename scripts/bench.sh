#!/usr/bin/env bash
# Sets up (OpenCV included, as the yardstick), builds and runs the benchmarks:
# the stages, the chain and the program's own work (lumivex_bench, with the
# arguments given), then presenting on the SDL backend (lumivex_present_bench)
# on a virtual X server large enough for a 1080p window.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh" bench
cd "$top"
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target lumivex_bench lumivex_present_bench
build/release/bench/lumivex_bench "$@"

work="$(mktemp -d)"
trap 'kill "$xvfb_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
source tests/e2e/xvfb.sh
start_xvfb "$work" 2560x1440x24 || { echo "bench: Xvfb did not start: no present rows" >&2; exit 1; }
echo
DISPLAY="$xvfb_display" build/release/bench/lumivex_present_bench
