#!/usr/bin/env bash
# Sets up, builds and starts Lumivex. Snapshots land in the current directory.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh" app
(
    cd "$top"
    cmake --preset release -DLUMIVEX_BUILD_TESTS=OFF -DLUMIVEX_BUILD_BENCH=OFF >/dev/null
    cmake --build --preset release -j"$(nproc)" --target lumivex
)
exec "$top/build/release/src/lumivex"
