#!/usr/bin/env bash
# Makes the README's screenshots: the program (build/default/src/lumivex, or
# $LUMIVEX_BIN) under a virtual X server showing its moving test pattern,
# window grown to 640 x 562 so the picture is shown pixel for pixel, one
# picture per view. Writes docs/images/*.png (256-colour PNG, small).
# Needs Xvfb, xdotool and ImageMagick (bash scripts/setup.sh test), and a
# machine without cameras: the pictures show the test pattern.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/default/src/lumivex}"
out="$top/docs/images"
if [ ! -x "$bin" ]; then
    (cd "$top" && cmake --preset default >/dev/null && cmake --build --preset default -j2 --target lumivex)
fi
for tool in Xvfb xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing" >&2; exit 1; }
done
if [ -n "$("$bin" --list-cameras 2>/dev/null)" ]; then
    echo "screenshots: this machine has a camera; the pictures must show the test pattern" >&2
    exit 1
fi
mkdir -p "$out"

source "$top/tests/e2e/xvfb.sh"
e2e_workspace TERM

start_xvfb "$work" || { echo "screenshots: Xvfb did not start" >&2; exit 1; }
export DISPLAY="$xvfb_display"

# shot NAME KEYS...: starts the program (snapshots would land in the
# temporary folder), grows the window, presses the keys, waits for the
# picture to follow, saves the window and ends the program with Escape.
shot() {
    local name=$1
    shift
    start_lumivex "$work" "$work/stderr.log" "$bin" || { cat "$work/stderr.log" >&2; echo "screenshots: no window" >&2; exit 1; }
    local win="$app_window"
    xdotool windowsize "$win" 640 562
    sleep 0.5
    for k in "$@"; do xdotool key --window "$win" "$k"; done
    sleep 1.2
    import -silent -window "$win" "$work/$name.png"
    convert "$work/$name.png" -colors 256 -strip "PNG8:$out/$name.png"
    # Through the keyboard, not sent to the window: see tests/e2e/scaled_e2e.sh.
    xdotool windowfocus "$win" 2>/dev/null || true
    xdotool key Escape
    wait "$app_pid" || true
    app_pid=""
    echo "screenshots: docs/images/$name.png"
}

shot plain
shot gauss 1
shot sobel 6
shot threshold 8
shot erode 9
shot canny i
shot tracking 0
shot tracking-difference 0 d
ls -l "$out"
