#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages Lumivex needs, when they are missing.
# Usage: scripts/setup.sh [app] [test] [bench] [fuzz] [windows] [package]
# As root it runs apt-get; otherwise it prints the one line to run and fails.
set -euo pipefail

pkgs_app="cmake g++ make pkg-config libsdl2-dev libx11-dev libv4l-dev libyuv-dev libturbojpeg0-dev libfreetype-dev libfontconfig-dev fonts-dejavu-core"
pkgs_test="googletest libgtest-dev xvfb xauth xdotool x11-utils imagemagick libjpeg62-turbo-dev"
pkgs_bench="libbenchmark-dev libopencv-dev"
# clang's libFuzzer comes with its runtime libraries.
pkgs_fuzz="clang libclang-rt-14-dev"
pkgs_package="dpkg-dev file help2man lintian"
pkgs_windows="g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 xvfb xauth xdotool x11-utils"

want=""
# Wine's display and media drivers come as recommended packages.
recommends="--no-install-recommends"
for group in "${@:-app}"; do
    case "$group" in
        app) want="$want $pkgs_app" ;;
        test) want="$want $pkgs_app $pkgs_test" ;;
        bench) want="$want $pkgs_app $pkgs_bench" ;;
        fuzz) want="$want $pkgs_app $pkgs_fuzz" ;;
        windows) want="$want $pkgs_windows"; recommends="" ;;
        package) want="$want $pkgs_app $pkgs_package" ;;
        *) echo "setup.sh: unknown group '$group' (app, test, bench, fuzz, windows, package)" >&2; exit 2 ;;
    esac
done

missing=""
for p in $(echo $want | tr ' ' '\n' | sort -u); do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq $recommends $missing
else
    echo "Missing packages. Run:"
    echo "  sudo apt-get install -y$missing"
    exit 1
fi
