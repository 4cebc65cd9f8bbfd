#!/usr/bin/env bash
# Every way out of the program, each with every filter on while the test
# pattern streams, repeated to catch races: the process must end within
# 2 seconds with the expected code.
#   escape, close (the window manager's close request), SIGINT, SIGTERM: 0
#   SIGHUP, SIGQUIT, while snapshots are written: 0, and no temporary file left
#   sigpipe (standard error's reader has gone, then a failed snapshot writes
#   there; the program goes on until Escape): 0
#   startup (SIGTERM as soon as the window shows), reconnect (SIGINT while
#   the emulated camera is lost or coming back): 0, through the orderly
#   shutdown, which may wait up to 5 s for a start-up or reconnection under way
#   stalled (Escape while the emulated camera streams but never sends a
#   frame): 0
#   xerror (another client destroys the window), xio (the server drops the
#   connection), display (the X server dies): 1
# Usage: exit_paths.sh [repeats] (default 3); EXIT_PATHS_WAYS picks ways. Needs Xvfb and xdotool; the
# program is $LUMIVEX_BIN, the window tool $LUMIVEX_X_WINDOW_TOOL (built
# with the tests; the close and xerror ways are skipped without it), the
# emulated camera $FAKECAM_LIB (the reconnect and stalled ways are skipped without it).
set -euo pipefail

repeats="${1:-3}"
top="$(cd "$(dirname "$0")/../.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/default/src/lumivex}"
tool="${LUMIVEX_X_WINDOW_TOOL:-$top/build/default/tests/x_window_tool}"
camera_lib="${FAKECAM_LIB:-$top/build/default/tests/support/fakecam/libfakecam.so}"
for t in Xvfb xdotool; do
    command -v "$t" >/dev/null || { echo "exit_paths: $t is missing" >&2; exit 2; }
done
[ -x "$bin" ] || { echo "exit_paths: no program at $bin" >&2; exit 2; }
bin="$(realpath "$bin")"
[ -x "$tool" ] && tool="$(realpath "$tool")"
[ -f "$camera_lib" ] && camera_lib="$(realpath "$camera_lib")"

source "$(dirname "$0")/xvfb.sh"
e2e_workspace KILL

failures=0
fail() {
    echo "exit_paths: FAIL: $*" >&2
    if [ -s "$work/stderr.log" ]; then sed 's/^/    | /' "$work/stderr.log" | tail -n 5 >&2; fi
    failures=$((failures + 1))
}

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
    local way="$1" win="" start elapsed err="$work/stderr.log" reader="" limit=2000
    local args=() camera=()
    rm -rf "$work/run" && mkdir -p "$work/run"
    : >"$work/stderr.log"
    case "$way" in
        sigpipe)
            # Standard error into a pipe whose reader takes one line and goes.
            mkdir "$work/run/shots"
            args=(--snapshot-dir "$work/run/shots")
            rm -f "$work/err.fifo" && mkfifo "$work/err.fifo"
            head -n1 "$work/err.fifo" >/dev/null &
            reader=$!
            err="$work/err.fifo"
            ;;
        reconnect)
            camera=(LD_PRELOAD="$camera_lib" FAKECAM_FAULT=unplug FAKECAM_UNPLUG_AFTER=1 FAKECAM_REPLUG_AFTER=1)
            limit=5000
            ;;
        startup) limit=5000 ;;
        stalled) camera=(LD_PRELOAD="$camera_lib" FAKECAM_FORMATS=YUYV FAKECAM_FAULT=stall) ;;
    esac
    if ! start_lumivex "$work/run" "$err" env "${camera[@]}" "$bin" "${args[@]}"; then
        fail "$way: no window"
        [ -n "$app_pid" ] && { kill -KILL "$app_pid" 2>/dev/null || true; wait "$app_pid" 2>/dev/null || true; }
        app_pid=""
        return 1
    fi
    win="$app_window"
    xdotool windowfocus "$win" 2>/dev/null || true
    if [ "$way" != startup ]; then
        # Every filter on: 1-9, 0, E, Y, U, I.
        timeout 5 xdotool key --delay 5 1 2 3 4 5 6 7 8 9 0 e y u i 2>/dev/null || true
        sleep "0.$((RANDOM % 6 + 2))"
    fi
    if [ "$way" = reconnect ]; then
        for _ in $(seq 200); do grep -q ': lost' "$work/stderr.log" && break; sleep 0.05; done
        grep -q ': lost' "$work/stderr.log" || fail "reconnect: the camera was never lost"
        sleep "0.$((RANDOM % 9 + 1))"  # it comes back after a second, and is looked for every second
    fi
    start=$(date +%s%N)
    case "$way" in
        escape | stalled) timeout 5 xdotool key Escape ;;
        close) timeout 5 "$tool" close "$win" ;;
        sigint) kill -INT "$app_pid" ;;
        sigterm | startup) kill -TERM "$app_pid" ;;
        sighup | sigquit)
            timeout 5 xdotool key --delay 1 r r r r r 2>/dev/null || true
            kill -"$(echo "${way#sig}" | tr a-z A-Z)" "$app_pid"
            ;;
        sigpipe)
            wait "$reader" 2>/dev/null || true
            rmdir "$work/run/shots"  # the snapshot fails, which says so on standard error
            timeout 5 xdotool key r Escape
            ;;
        reconnect) kill -INT "$app_pid" ;;
        xerror) timeout 5 "$tool" destroy "$win" ;;
        xio) timeout 5 xdotool windowkill "$win" ;;
        display) kill -KILL "$xvfb_pid" ;;
    esac
    code=""
    while [ $(( ($(date +%s%N) - start) / 1000000 )) -lt "$limit" ]; do
        if ! kill -0 "$app_pid" 2>/dev/null; then
            wait "$app_pid" && code=0 || code=$?
            break
        fi
        sleep 0.01
    done
    elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
    if [ -z "$code" ]; then
        fail "$way: still running $((limit / 1000)) s after the request"
        kill -KILL "$app_pid" 2>/dev/null || true
        wait "$app_pid" 2>/dev/null || true
        code=none
    fi
    app_pid=""
    last_ms=$elapsed
    local left
    left="$(find "$work/run" -name '*.part' 2>/dev/null)"
    [ -z "$left" ] || fail "$way: temporary file left: $left"
}

ways="${EXIT_PATHS_WAYS:-escape close sigint sigterm sighup sigquit sigpipe startup reconnect stalled xerror xio display}"
[ -x "$tool" ] || { echo "exit_paths: no window tool at $tool: close and xerror skipped"; ways="$(echo " $ways " | sed 's/ close / /; s/ xerror / /')"; }
[ -f "$camera_lib" ] || { echo "exit_paths: no emulated camera at $camera_lib: reconnect and stalled skipped"; ways="$(echo " $ways " | sed 's/ reconnect / /; s/ stalled / /')"; }
for way in $ways; do
    expected=0
    case "$way" in xerror | xio | display) expected=1 ;; esac
    times=""
    max=0
    for _ in $(seq "$repeats"); do
        start_server
        if run_once "$way"; then
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
