#!/usr/bin/env bash
# End-to-end checks of the SDL backend's start-up: on a virtual X server
# with GDK_SCALE=2 the window is twice the size and shows every pixel as a
# 2 x 2 block; without GDK_SCALE it has its usual size; with DISPLAY naming
# a server that does not exist the program says so and exits with code 1.
# Needs Xvfb, xdotool and ImageMagick. The program is $LUMIVEX_BIN.
set -euo pipefail

top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/default/src/lumivex}"
source "$top/tests/e2e/xvfb.sh"
e2e_workspace TERM
fail() {
    echo "scaled_e2e: FAIL: $*" >&2
    [ -s "$work/stderr.log" ] && cat "$work/stderr.log" >&2
    exit 1
}
pass() { echo "scaled_e2e: ok: $*"; }

start_xvfb "$work" 1600x1200x24 || fail "Xvfb did not start"
display="$xvfb_display"

# A display number nobody serves: the highest the server could have picked is far below.
code=0
env -u WAYLAND_DISPLAY DISPLAY=":$(( $(head -n1 "$work/display") + 737 ))" "$bin" 2>"$work/stderr.log" || code=$?
[ "$code" -eq 1 ] || fail "exit code $code with no X server"
grep -q "no X server answers on display" "$work/stderr.log" || fail "no X server was not named"
grep -q "XDG_RUNTIME_DIR" "$work/stderr.log" && fail "the XDG_RUNTIME_DIR warning was shown"
[ "$(wc -l <"$work/stderr.log")" -eq 1 ] || fail "more than one line for a missing X server"
pass "a missing X server is one line saying so"

# run SCALE: starts the program with GDK_SCALE=SCALE (empty: unset) and
# prints its window's width and height; leaves a shot in $work/shot.png.
run() {
    local win scale=(-u GDK_SCALE)
    [ -n "$1" ] && scale=(GDK_SCALE="$1")
    DISPLAY="$display" start_lumivex "$work" "$work/stderr.log" env "${scale[@]}" "$bin" ||
        case $? in
            1) fail "the program ended before its window appeared" ;;
            *) fail "no window" ;;
        esac
    win="$app_window"
    sleep 0.8
    DISPLAY="$display" import -silent -window "$win" "$work/shot.png"
    DISPLAY="$display" xdotool getwindowgeometry --shell "$win" | awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}'
    # Through the keyboard (XTEST), not sent to the window: the program is
    # gone before a sent key's release would reach it, xdotool gives up
    # there, and the server (which does not reset) keeps Escape held for the
    # next run.
    DISPLAY="$display" xdotool windowfocus "$win" 2>/dev/null || true
    DISPLAY="$display" xdotool key Escape
    local status=0
    wait "$app_pid" || status=$?
    app_pid=""
    [ "$status" -eq 0 ] || fail "exit code $status after Escape"
}

size="$(run "")"
[ "$size" = "360 382" ] || fail "unscaled window is $size, not 360 382"
pass "without a scale the window is 360 x 382"

size="$(run 2)"
[ "$size" = "720 764" ] || fail "window at scale 2 is $size, not 720 764"
# Every 2 x 2 block is one colour: halving and doubling again changes nothing.
convert "$work/shot.png" -sample 50% -sample 200% "$work/blocks.png"
blocky="$(compare -metric AE "$work/shot.png" "$work/blocks.png" null: 2>&1 || true)"
[ "${blocky%%.*}" = 0 ] || fail "$blocky pixels are not in 2 x 2 blocks"
colours="$(convert "$work/shot.png" -format %k info:)"
[ "$colours" -gt 50 ] || fail "the scaled window shows no picture ($colours colours)"
pass "at GDK_SCALE=2 the window is 720 x 764 and every pixel a 2 x 2 block"
echo "scaled_e2e: all passed"
