#!/usr/bin/env bash
# Soak test: the program runs under a virtual X server for the given number
# of minutes (default 10) with the test pattern, while a random storm of
# every bound key hits it (V and B held and released, with other keys
# pressed meanwhile, R among them). Along the way it samples the resident
# memory, checks that the picture keeps changing and that every snapshot is
# a complete 640 x 480 24-bit BMP, and at the end it presses Escape, which
# must end the program with code 0 within 2 seconds. Prints the figures.
# Usage: scripts/soak.sh [minutes]   (the program: $LUMIVEX_BIN, else
# build/default/src/lumivex, built with the default preset if missing)
set -euo pipefail

minutes="${1:-10}"
top="$(cd "$(dirname "$0")/.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/default/src/lumivex}"
if [ ! -x "$bin" ]; then
    (cd "$top" && cmake --preset default >/dev/null && cmake --build --preset default -j2 --target lumivex)
fi
bin="$(realpath "$bin")"
for tool in Xvfb xdotool import convert compare od; do
    command -v "$tool" >/dev/null || { echo "soak: $tool is missing" >&2; exit 2; }
done

source "$top/tests/e2e/xvfb.sh"
e2e_workspace KILL

fail() {
    echo "soak: FAIL: $*" >&2
    if [ -s "$work/stderr.log" ]; then
        echo "--- program output (last lines):" >&2
        tail -n 20 "$work/stderr.log" >&2
    fi
    exit 1
}

start_xvfb "$work" || fail "Xvfb did not start"
export DISPLAY="$xvfb_display"

mkdir "$work/run"
start_lumivex "$work/run" "$work/stderr.log" "$bin" || case $? in
    1) fail "the program ended before its window appeared" ;;
    *) fail "no window named Lumivex" ;;
esac
win="$app_window"
xdotool windowfocus "$win" 2>/dev/null || true

rss_kb() { awk '/^VmRSS:/{print $2}' "/proc/$app_pid/status" 2>/dev/null || echo 0; }
alive() { kill -0 "$app_pid" 2>/dev/null || fail "the program died"; }

# Every bound key but Escape (V and B are held separately).
keys=(1 2 3 4 5 6 7 8 9 0 e y u i f d g q w a s)
random_keys() {
    local n="$1" out=""
    for _ in $(seq "$n"); do out="$out ${keys[RANDOM % ${#keys[@]}]}"; done
    echo "$out"
}

# Two screenshots half a second apart: how many pixels of the picture area
# changed. B first, so that the filters that may freeze the picture
# (threshold, erode and the like) are off; canny and average stay as they are.
picture_changes() {
    xdotool key b
    sleep 0.3
    import -silent -window "$win" "$work/a.png" 2>/dev/null || return 1
    sleep 0.5
    import -silent -window "$win" "$work/b.png" 2>/dev/null || return 1
    local w h
    read -r w h < <(xdotool getwindowgeometry --shell "$win" | awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w, h}')
    local area="${w}x$((h - 82))+0+0"
    convert "$work/a.png" -crop "$area" +repage "$work/a1.png"
    convert "$work/b.png" -crop "$area" +repage "$work/b1.png"
    compare -metric AE "$work/a1.png" "$work/b1.png" null: 2>&1 || true
}

snapshots=0
# Checks and removes every finished snapshot: a complete 640 x 480 24-bit BMP.
check_snapshots() {
    local f
    for f in "$work"/run/*.bmp; do
        [ -e "$f" ] || continue
        local size u32 header
        size="$(stat -c %s "$f")"
        [ "$size" -eq 921654 ] || fail "$(basename "$f") has $size bytes, not 921654"
        [ "$(head -c2 "$f")" = "BM" ] || fail "$(basename "$f") does not start with BM"
        u32() { od -An -tu4 -j"$1" -N4 "$f" | tr -d ' '; }
        header="$(u32 2) $(u32 10) $(u32 14) $(u32 18) $(u32 22) $(od -An -tu2 -j28 -N2 "$f" | tr -d ' ') $(u32 34)"
        [ "$header" = "921654 54 40 640 480 24 921600" ] || fail "$(basename "$f") header: $header"
        rm -f "$f"
        snapshots=$((snapshots + 1))
    done
}

sleep 1
rss_start=$(rss_kb)
rss_peak=$rss_start
sent=0
holds=0
checks=0
min_change=""
end=$(( $(date +%s) + minutes * 60 ))
next_check=$(( $(date +%s) + 10 ))
next_snapshot=$(date +%s)
while [ "$(date +%s)" -lt "$end" ]; do
    alive
    batch="$(random_keys 8)"
    args=(key --delay 15 $batch)
    sent=$((sent + 8))
    case $((RANDOM % 4)) in
        0)
            # V or B held while other keys go by, then released.
            held=$([ $((RANDOM % 2)) -eq 0 ] && echo v || echo b)
            args+=(keydown "$held" key --delay 15 $(random_keys 3) keyup "$held")
            sent=$((sent + 5))
            holds=$((holds + 1))
            ;;
    esac
    if [ "$(date +%s)" -ge "$next_snapshot" ]; then
        args+=(key r)
        sent=$((sent + 1))
        next_snapshot=$(( $(date +%s) + 2 ))
    fi
    timeout 10 xdotool "${args[@]}" 2>/dev/null || fail "xdotool did not finish"
    check_snapshots
    rss=$(rss_kb)
    [ "$rss" -gt "$rss_peak" ] && rss_peak=$rss
    if [ "$(date +%s)" -ge "$next_check" ]; then
        changed="$(picture_changes)" || fail "no screenshot"
        changed="${changed%%.*}"
        [ "$changed" -gt 100 ] 2>/dev/null || fail "the picture stopped changing ($changed pixels changed)"
        checks=$((checks + 1))
        if [ -z "$min_change" ] || [ "$changed" -lt "$min_change" ]; then min_change=$changed; fi
        next_check=$(( $(date +%s) + 10 ))
    fi
done

# Let the last snapshot finish, then leave.
xdotool keyup v keyup b 2>/dev/null || true
sleep 0.5
check_snapshots
ls "$work"/run | grep -q . && fail "files left beside the snapshots: $(ls "$work"/run | tr '\n' ' ')"
rss_end=$(rss_kb)
start=$(date +%s%N)
timeout 5 xdotool key Escape 2>/dev/null || true
code=""
while [ $(( ($(date +%s%N) - start) / 1000000 )) -lt 2000 ]; do
    if ! kill -0 "$app_pid" 2>/dev/null; then
        wait "$app_pid" && code=0 || code=$?
        break
    fi
    sleep 0.01
done
exit_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ -n "$code" ] || fail "still running 2 s after Escape"
app_pid=""
[ "$code" -eq 0 ] || fail "exit code $code after Escape"

echo "soak: $minutes min, $sent keys sent ($holds V/B holds), $snapshots snapshots checked," \
    "$checks picture checks (fewest changed pixels: ${min_change:-none})"
echo "soak: resident memory: start $rss_start kB, peak $rss_peak kB, end $rss_end kB"
echo "soak: Escape ended the program with code 0 in $exit_ms ms"
