#!/usr/bin/env bash
# Every way out of the program, each with every filter on while the test
# pattern streams, repeated to catch races: the process must end within
# 2 seconds with the expected code.
#   escape, close (the window manager's close request), SIGINT, SIGTERM: 0
#   stalled (Escape while the emulated camera streams but never sends a
#   frame; needs $FAKECAM_LIB): 0
#   xerror (another client destroys the window), xio (the server drops the
#   connection), display (the X server dies): 1
# Usage: exit_paths.sh [repeats] (default 3); EXIT_PATHS_WAYS picks ways. Needs Xvfb and xdotool; the
# program is $LUMIVEX_BIN, the window tool $LUMIVEX_X_WINDOW_TOOL (built
# with the tests; the close and xerror ways are skipped without it).
set -euo pipefail

repeats="${1:-3}"
top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/default/src/lumivex}"
tool="${LUMIVEX_X_WINDOW_TOOL:-$top/build/default/tests/x_window_tool}"
for t in Xvfb xdotool; do
    command -v "$t" >/dev/null || { echo "exit_paths: $t is missing" >&2; exit 2; }
done
[ -x "$bin" ] || { echo "exit_paths: no program at $bin" >&2; exit 2; }
bin="$(realpath "$bin")"
[ -x "$tool" ] && tool="$(realpath "$tool")"
[ -f "${FAKECAM_LIB:-}" ] && FAKECAM_LIB="$(realpath "$FAKECAM_LIB")"

work="$(mktemp -d)"
xvfb_pid=""
app_pid=""
cleanup() {
    [ -n "$app_pid" ] && kill -KILL "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "exit_paths: FAIL: $*" >&2
    if [ -s "$work/stderr.log" ]; then sed 's/^/    | /' "$work/stderr.log" | tail -n 5 >&2; fi
    failures=$((failures + 1))
}

source "$(dirname "$0")/xvfb.sh"
start_server() {
    start_xvfb "$work" || { echo "exit_paths: Xvfb did not start" >&2; exit 2; }
    export DISPLAY="$xvfb_display"
}

stop_xvfb() {
    [ -n "$xvfb_pid" ] && { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
    xvfb_pid=""
}

# One run: the program up with every filter on, then the way out. Prints
# the time it took to end in ms; sets `code`.
run_once() {
    local way="$1" win="" start elapsed
    mkdir -p "$work/run"
    local camera=()
    [ "$way" = stalled ] && camera=(LD_PRELOAD="$FAKECAM_LIB" FAKECAM_FORMATS=YUYV FAKECAM_FAULT=stall)
    (cd "$work/run" && exec env "${camera[@]}" "$bin") 2>"$work/stderr.log" &
    app_pid=$!
    for _ in $(seq 150); do
        win="$(xdotool search --name '^Lumivex$' 2>/dev/null | head -n1 || true)"
        [ -n "$win" ] && break
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.05
    done
    if [ -z "$win" ]; then
        fail "$way: no window"
        kill -KILL "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
        app_pid=""
        return 1
    fi
    xdotool windowfocus "$win" 2>/dev/null || true
    # Every filter on: 1-9, 0, E, Y, U, I.
    timeout 5 xdotool key --delay 5 1 2 3 4 5 6 7 8 9 0 e y u i 2>/dev/null || true
    sleep "0.$((RANDOM % 6 + 2))"
    start=$(date +%s%N)
    case "$way" in
        escape | stalled) timeout 5 xdotool key Escape ;;
        close) timeout 5 "$tool" close "$win" ;;
        sigint) kill -INT "$app_pid" ;;
        sigterm) kill -TERM "$app_pid" ;;
        xerror) timeout 5 "$tool" destroy "$win" ;;
        xio) timeout 5 xdotool windowkill "$win" ;;
        display) kill -KILL "$xvfb_pid" ;;
    esac
    code=""
    while [ $(( ($(date +%s%N) - start) / 1000000 )) -lt 2000 ]; do
        if ! kill -0 "$app_pid" 2>/dev/null; then
            wait "$app_pid" && code=0 || code=$?
            break
        fi
        sleep 0.01
    done
    elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
    if [ -z "$code" ]; then
        fail "$way: still running 2 s after the request"
        kill -KILL "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
        code=none
    fi
    app_pid=""
    last_ms=$elapsed
}

ways="${EXIT_PATHS_WAYS:-escape close sigint sigterm xerror xio display stalled}"
[ -x "$tool" ] || { echo "exit_paths: no window tool at $tool: close and xerror skipped"; ways="$(sed -E 's/ ?(close|xerror)//g' <<<"$ways")"; }
[ -f "${FAKECAM_LIB:-}" ] || { echo "exit_paths: no emulated camera (FAKECAM_LIB): stalled skipped"; ways="$(sed -E 's/ ?stalled//g' <<<"$ways")"; }
for way in $ways; do
    expected=0
    case "$way" in xerror | xio | display) expected=1 ;; esac
    times=""
    max=0
    for _ in $(seq "$repeats"); do
        start_server
        if run_once "$way" || { echo "exit_paths: $way: the program did not start; once more" >&2 &&
            failures=$((failures - 1)) && stop_xvfb && start_server && run_once "$way"; }; then
            times="$times $last_ms"
            [ "$last_ms" -gt "$max" ] && max=$last_ms
            [ "$code" = "$expected" ] || fail "$way: exit code $code, expected $expected"
        fi
        stop_xvfb
    done
    echo "exit_paths: $way: $repeats runs, exit code $expected expected, ms:$times (max $max)"
done
[ "$failures" -eq 0 ] || { echo "exit_paths: $failures failure(s)" >&2; exit 1; }
echo "exit_paths: all passed"
