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
