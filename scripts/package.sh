#!/usr/bin/env bash
# Builds the packages: build/package/lumivex_<version>_<arch>.deb (Debian,
# Ubuntu) and build/windows/lumivex-<version>-windows-x64.zip (lumivex.exe and
# readme.txt, cross-compiled with MinGW-w64). Installs what is missing first
# (see scripts/setup.sh). `scripts/package.sh deb` or `... zip` builds one.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
want="${1:-all}"
case "$want" in all | deb | zip) ;; *) echo "package.sh: deb, zip or nothing" >&2; exit 2 ;; esac

if [ "$want" != zip ]; then
    bash scripts/setup.sh package
    # A release build installed under /usr, where the program looks for its
    # key reference; no tests or benchmarks.
    cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DLUMIVEX_BUILD_TESTS=OFF -DLUMIVEX_BUILD_BENCH=OFF >/dev/null
    cmake --build build/package -j"$(nproc)" --target lumivex
    (cd build/package && cpack -G DEB >/dev/null)
    ls build/package/*.deb
fi

if [ "$want" != deb ]; then
    bash scripts/setup.sh windows
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j"$(nproc)"
    (cd build/windows && cpack -G ZIP >/dev/null)
    ls build/windows/*.zip
fi
