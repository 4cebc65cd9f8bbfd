#!/usr/bin/env bash
# End-to-end run of the program with no camera, on a virtual X server:
# the window comes up, the moving test pattern shows, "1" then "R" writes a
# 640 x 480 snapshot, "F" shows the FPS figure, Escape ends it with code 0.
# Needs Xvfb, xdotool and ImageMagick. The program is $LUMIVEX_BIN, else
# build/default/src/lumivex (built with the default preset if missing).
set -euo pipefail

top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/default/src/lumivex}"
if [ ! -x "$bin" ]; then
    (cd "$top" && cmake --preset default >/dev/null && cmake --build --preset default -j2 --target lumivex)
fi
for tool in Xvfb xdotool import compare od; do
    command -v "$tool" >/dev/null || { echo "run_e2e: $tool is missing" >&2; exit 2; }
done

source "$(dirname "$0")/xvfb.sh"
e2e_workspace TERM

fail() {
    echo "run_e2e: FAIL: $*" >&2
    if [ -s "$work/stderr.log" ]; then
        echo "--- program output:" >&2
        cat "$work/stderr.log" >&2
    fi
    exit 1
}
pass() { echo "run_e2e: ok: $*"; }

# A free display number, chosen by the server itself.
start_xvfb "$work" || fail "Xvfb did not start"
export DISPLAY="$xvfb_display"

# No camera: the portable layer lists none on this machine; the program
# must fall back to the test pattern.
mkdir "$work/run"
start_lumivex "$work/run" "$work/stderr.log" "$bin" || case $? in
    1) fail "the program ended before its window appeared" ;;
    *) fail "no window named Lumivex" ;;
esac
win="$app_window"
pass "window \"Lumivex\" is up"

# The picture area is the client area above the 82-pixel status strip.
read -r width height < <(xdotool getwindowgeometry --shell "$win" | awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}')
picture="${width}x$((height - 82))+0+0"

shot() { import -silent -window "$win" "$1"; }
# Number of pixels that differ between two images in a region.
differ() {
    convert "$1" -crop "$3" +repage "$work/crop1.png"
    convert "$2" -crop "$3" +repage "$work/crop2.png"
    compare -metric AE "$work/crop1.png" "$work/crop2.png" null: 2>&1 || true
}
colours() { convert "$1" -crop "$picture" +repage -format %k info:; }

# Each step waits for what the user would see, however long a loaded
# machine takes to get there (the limit only ends a run that never does).
patience=300 # tenths of a second
colours=0
for _ in $(seq "$patience"); do
    shot "$work/a.png"
    colours="$(colours "$work/a.png")"
    [ "$colours" -gt 50 ] && break
    kill -0 "$app_pid" 2>/dev/null || fail "the program ended before it showed a picture"
    sleep 0.1
done
[ "$colours" -gt 50 ] || fail "the picture is not the pattern ($colours colours)"
moved=0
for _ in $(seq "$patience"); do
    sleep 0.1
    shot "$work/b.png"
    moved="$(differ "$work/a.png" "$work/b.png" "$picture")"
    [ "${moved%%.*}" -gt 100 ] 2>/dev/null && break
done
[ "${moved%%.*}" -gt 100 ] 2>/dev/null || fail "the picture did not move ($moved pixels changed)"
pass "the picture area shows the moving pattern ($moved pixels changed, $colours colours)"

xdotool windowfocus "$win" 2>/dev/null || true
sleep 0.2
key() { xdotool key --clearmodifiers "$1"; sleep 0.2; }

key 1
key r
for _ in $(seq "$patience"); do [ -f "$work/run/1.bmp" ] && break; sleep 0.1; done
[ -f "$work/run/1.bmp" ] || fail "no 1.bmp after 1 and R"
size="$(stat -c %s "$work/run/1.bmp")"
[ "$size" -eq 921654 ] || fail "1.bmp has $size bytes, not 921654"
u32() { od -An -tu4 -j"$1" -N4 "$work/run/1.bmp" | tr -d ' '; }
u16() { od -An -tu2 -j"$1" -N2 "$work/run/1.bmp" | tr -d ' '; }
[ "$(head -c2 "$work/run/1.bmp")" = "BM" ] || fail "1.bmp does not start with BM"
header="$(u32 2) $(u32 10) $(u32 14) $(u32 18) $(u32 22) $(u16 26) $(u16 28) $(u32 30) $(u32 34)"
[ "$header" = "921654 54 40 640 480 1 24 0 921600" ] || fail "1.bmp header: $header"
pass "1 then R wrote 1.bmp, 921654 bytes, 640 x 480 x 24 header"

# The FPS figure is drawn at the top left of the picture, where the pattern
# stays still (its first colour bar). Once shown, it is on every picture:
# the picture and its figure reach the screen together.
corner="72x16+0+0"
shot "$work/before_f.png"
key f
changed=0
for _ in $(seq "$patience"); do
    shot "$work/after_f.png"
    changed="$(differ "$work/before_f.png" "$work/after_f.png" "$corner")"
    [ "${changed%%.*}" -gt 20 ] 2>/dev/null && break
    sleep 0.1
done
[ "${changed%%.*}" -gt 20 ] 2>/dev/null || fail "F showed no FPS figure ($changed pixels changed)"
for i in $(seq 20); do
    shot "$work/again.png"
    again="$(differ "$work/before_f.png" "$work/again.png" "$corner")"
    [ "${again%%.*}" -gt 20 ] 2>/dev/null || fail "the FPS figure was missing from picture $i of 20 after it appeared"
done
pass "F shows the FPS figure ($changed pixels changed), on 20 pictures in a row"

start=$(date +%s%N)
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
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$code" -eq 0 ] || fail "exit code $code after Escape"
pass "Escape ended the program with code 0 in $elapsed ms"
grep -q . "$work/stderr.log" && { echo "--- program output:"; cat "$work/stderr.log"; }
echo "run_e2e: all passed"
