#!/usr/bin/env bash
# Builds the packages: build/package/lumivex_<version>_<arch>.deb (Debian,
# Ubuntu) and build/windows/lumivex-<version>-windows-x64.zip (lumivex.exe,
# readme.txt and LICENSE.txt, cross-compiled with MinGW-w64); the version is
# project()'s in CMakeLists.txt. Installs what is missing first
# (see scripts/setup.sh). `scripts/package.sh deb` or `... zip` builds one.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
want="${1:-all}"
case "$want" in all | deb | zip) ;; *) echo "package.sh: deb, zip or nothing" >&2; exit 2 ;; esac

if [ "$want" != zip ]; then
    bash scripts/setup.sh package
    # A release build installed under /usr, where the program looks for its
    # key reference; no tests or benchmarks: the program and its manual page.
    cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DLUMIVEX_BUILD_TESTS=OFF -DLUMIVEX_BUILD_BENCH=OFF >/dev/null
    cmake --build build/package -j"$(nproc)"
    # A package of an earlier version would be taken for this one.
    rm -f build/package/lumivex_*.deb
    (cd build/package && cpack -G DEB >/dev/null)
    ls build/package/*.deb
fi

if [ "$want" != deb ]; then
    bash scripts/setup.sh windows
    cmake --preset windows >/dev/null
    cmake --build --preset windows -j"$(nproc)"
    rm -f build/windows/lumivex-*-windows-x64.zip
    (cd build/windows && cpack -G ZIP >/dev/null)
    ls build/windows/*.zip
fi
