#!/usr/bin/env bash
# The real program on a virtual X server with the emulated V4L2 camera
# preloaded (configured by the FAKECAM_* variables of the caller):
#   - the window shows the camera's picture, upright and in the right colours;
#   - R writes 1.bmp holding a camera frame, within LUMIVEX_MAX_DIFF (per
#     channel) of the frame it says it is (0: byte-exact), and on average
#     within LUMIVEX_MEAN_DIFF (default 1);
#   - G turns the shown picture upside down, and 2.bmp is stored flipped and
#     holds a later frame;
#   - with LUMIVEX_MAX_DIFF=0, a window of the camera's size shows the frame
#     byte for byte;
#   - Escape ends the program with exit code 0.
# With LUMIVEX_EXPECT_LINE set, the camera is expected to be refused: that
# line goes to standard error and the picture is the test pattern instead.
# Needs Xvfb, xdotool and ImageMagick. The program is $LUMIVEX_BIN, the
# library $FAKECAM_LIB and the checker $FAKECAM_CHECK.
set -euo pipefail

for v in LUMIVEX_BIN FAKECAM_LIB FAKECAM_CHECK; do
    [ -n "${!v:-}" ] || { echo "run_camera: $v is not set" >&2; exit 2; }
done
for tool in Xvfb xdotool import convert; do
    command -v "$tool" >/dev/null || { echo "run_camera: $tool is missing" >&2; exit 2; }
done
max_diff="${LUMIVEX_MAX_DIFF:-0}"
mean_diff="${LUMIVEX_MEAN_DIFF:-1}"

source "$(dirname "$0")/xvfb.sh"
e2e_workspace TERM

fail() {
    echo "run_camera: FAIL: $*" >&2
    if [ -s "$work/stderr.log" ]; then
        echo "--- program output:" >&2
        cat "$work/stderr.log" >&2
    fi
    exit 1
}
pass() { echo "run_camera: ok: $*"; }

start_xvfb "$work" || fail "Xvfb did not start"
export DISPLAY="$xvfb_display"

mkdir "$work/run"
start_lumivex "$work/run" "$work/stderr.log" env LD_PRELOAD="$FAKECAM_LIB" "$LUMIVEX_BIN" || case $? in
    1) fail "the program ended before its window appeared" ;;
    *) fail "no window named Lumivex" ;;
esac
win="$app_window"

read -r width height < <(xdotool getwindowgeometry --shell "$win" | awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}')
picture="${width}x$((height - 82))+0+0"

# check_picture ARGS...: the picture area now, read by the checker.
check_picture() {
    import -silent -window "$win" "$work/shot.png" || return 1
    convert "$work/shot.png" -crop "$picture" +repage -type truecolor "BMP3:$work/shot.bmp" || return 1
    "$FAKECAM_CHECK" "$work/shot.bmp" --tolerance 60 "$@" >"$work/shot.txt"
}
# wait_picture WHAT ARGS...: up to 5 s for the picture to pass the check.
wait_picture() {
    local what=$1
    shift
    for _ in $(seq 25); do
        check_picture "$@" && return 0
        sleep 0.2
    done
    fail "$what ($(cat "$work/shot.txt" 2>/dev/null))"
}

key() {
    xdotool windowfocus "$win" 2>/dev/null || true
    xdotool key --clearmodifiers "$1"
    sleep 0.2
}
snapshot() {
    key r
    for _ in $(seq 50); do [ -s "$work/run/$1" ] && break; sleep 0.1; done
    [ -s "$work/run/$1" ] || fail "R did not write $1"
    sleep 0.3
}

if [ -n "${LUMIVEX_EXPECT_LINE:-}" ]; then
    for _ in $(seq 50); do grep -qF "$LUMIVEX_EXPECT_LINE" "$work/stderr.log" && break; sleep 0.1; done
    grep -qF "$LUMIVEX_EXPECT_LINE" "$work/stderr.log" || fail "standard error lacks: $LUMIVEX_EXPECT_LINE"
    pass "standard error: $(grep -F "$LUMIVEX_EXPECT_LINE" "$work/stderr.log")"
    sleep 1
    check_picture --orientation upright && fail "the camera's picture shows although it was refused"
    pass "the picture is not the camera's: $(cat "$work/shot.txt")"
else
    wait_picture "the window does not show the camera upright in the right colours" --orientation upright --colours right
    pass "window: $(cat "$work/shot.txt")"

    snapshot 1.bmp
    "$FAKECAM_CHECK" "$work/run/1.bmp" --orientation upright --colours right --max-diff "$max_diff" --mean-diff "$mean_diff" >"$work/1.txt" ||
        fail "1.bmp: $(cat "$work/1.txt")"
    pass "R: $(cat "$work/1.txt")"

    key g
    wait_picture "G did not turn the picture upside down" --orientation flipped --colours right
    pass "G: $(cat "$work/shot.txt")"
    snapshot 2.bmp
    "$FAKECAM_CHECK" "$work/run/2.bmp" --orientation flipped --colours right --max-diff "$max_diff" --mean-diff "$mean_diff" >"$work/2.txt" ||
        fail "2.bmp: $(cat "$work/2.txt")"
    first=$(sed -n 's/.* frame \([0-9]*\) .*/\1/p' "$work/1.txt")
    second=$(sed -n 's/.* frame \([0-9]*\) .*/\1/p' "$work/2.txt")
    [ "$second" -gt "$first" ] || fail "2.bmp holds frame $second, not later than 1.bmp's $first"
    pass "R after G: $(cat "$work/2.txt")"

    # In a window of the camera's size the screen shows the frame itself:
    # byte for byte for a format that needs no conversion.
    if [ "$max_diff" = 0 ]; then
        key g
        xdotool windowsize "$win" 640 $((480 + 82))
        picture="640x480+0+0"
        wait_picture "at the camera's size the window does not show the frame exactly" --orientation upright \
            --colours right --size 640x480 --max-diff 0
        pass "at the camera's size: $(cat "$work/shot.txt")"
    fi
fi

key Escape
code=""
for _ in $(seq 40); do
    if ! kill -0 "$app_pid" 2>/dev/null; then
        wait "$app_pid" && code=0 || code=$?
        break
    fi
    sleep 0.05
done
[ -n "$code" ] || fail "the program was still running 2 s after Escape"
app_pid=""
[ "$code" -eq 0 ] || fail "exit code $code after Escape"
pass "Escape ended the program with code 0"
grep -q . "$work/stderr.log" && { echo "--- program output:"; cat "$work/stderr.log"; echo; }
echo "run_camera: all passed"
