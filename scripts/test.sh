#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite (default preset).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bash "$top/scripts/setup.sh" test
cd "$top"
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"
ctest --preset default
