# Sourced by the end-to-end scripts. start_xvfb WORK [SCREEN] starts a
# virtual X server on a free display (its log in WORK/xvfb.log), sets
# xvfb_pid and xvfb_display (":N") and returns once the server takes
# clients: on a loaded machine Xvfb can name its display before it does.
# Returns 2 if it never does.
start_xvfb() {
    local work=$1 screen=${2:-1024x768x24} _
    rm -f "$work/display"
    # -noreset: by default the server resets when its last client leaves (the
    # check below), and refuses connections while it does.
    Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$work/display" 2>>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
    [ -s "$work/display" ] || return 2
    xvfb_display=":$(head -n1 "$work/display")"
    for _ in $(seq 100); do
        DISPLAY="$xvfb_display" xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    return 2
}

# start_lumivex DIR LOG COMMAND...: starts COMMAND (the program, or `env ...
# program`) in DIR on $DISPLAY, its standard error in LOG, and waits up to
# 30 s for its window "Lumivex": sets app_pid and app_window. When the
# program ends before that saying that no X server answers, it is started
# once more: a server that has just answered xdotool can still refuse a
# client on a loaded machine. Returns 1 if the program ended before its
# window appeared, 2 if it runs without one.
start_lumivex() {
    local dir=$1 log=$2 attempt _
    shift 2
    app_window=""
    for attempt in 1 2; do
        (cd "$dir" && exec "$@") 2>"$log" &
        app_pid=$!
        for _ in $(seq 300); do
            app_window="$(xdotool search --name '^Lumivex$' 2>/dev/null | head -n1 || true)"
            [ -n "$app_window" ] && return 0
            kill -0 "$app_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -0 "$app_pid" 2>/dev/null && return 2
        wait "$app_pid" 2>/dev/null || true
        app_pid=""
        if [ "$attempt" = 1 ] && [ -f "$log" ] && grep -q "no X server answers" "$log"; then
            echo "start_lumivex: the program could not reach the X server; once more" >&2
            continue
        fi
        return 1
    done
}

# e2e_workspace SIGNAL: a fresh folder in $work, xvfb_pid and app_pid
# cleared, and an exit trap that sends SIGNAL (TERM or KILL) to the program,
# stops the X server and removes the folder.
e2e_workspace() {
    work="$(mktemp -d)"
    xvfb_pid=""
    app_pid=""
    e2e_signal=$1
    trap e2e_cleanup EXIT
}
e2e_cleanup() {
    [ -n "$app_pid" ] && kill "-$e2e_signal" "$app_pid" 2>/dev/null || true
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
