#!/usr/bin/env bash
# Smoke test of the Windows program. Runs the cross-compiled lumivex.exe under
# Wine on a virtual X server. Wine's DirectShow lists no camera, so this runs
# the real capture graph building, the no-camera path and the test pattern.
# Checks: the window "Lumivex" appears; "R" writes 1.bmp, a whole 640 x 480
# 24-bit BMP holding a picture; a second "R" writes 2.bmp showing the pattern
# moved on; Escape ends the program with exit code 0. From Wine's traces: the
# capture graph's steps, COLORONCOLOR set once on the window's device context
# (a relay trace of gdi32.SetStretchBltMode), and, when Wine lists a camera,
# ControlStream called and the camera run after it; Wine's ControlStream is a
# stub whose trace shows pointers, not the times passed.
#
# Started as "Open with" or a file dropped on it would start it (by the
# shell, without a console or redirection), with a file as its argument, the
# program shows its one error line in a message box and ends with exit code 2
# once the box is closed.
#
# With FAKECAM_LIB (the emulated V4L2 camera, tests/support/fakecam) and
# FAKECAM_CHECK (its picture checker) set, a second run gives Wine that
# camera: Wine's device enumerator lists it, its capture filter (on libv4l2)
# feeds the program's graph, "R" saves the camera's frame upright in the
# right colours, "G" then "R" saves a later one flipped, and Escape ends the
# program with exit code 0. Its "fname:" line goes to the debug console (a
# relay trace of AllocConsole and WriteConsoleW), while --help, --version,
# --list-cameras and a mistake, redirected to files, write their text there
# and open no console; --list-cameras names the device in a form --camera
# takes. With the camera stalled (streaming, never a frame), Escape still
# ends the program with exit code 0.
# A third run sets brightness through --control and checks the camera's grey
# in a snapshot, and asks for the driver's settings dialog (--camera-settings):
# Wine's filter has none, so the program's own opens; moving its brightness
# brightens the camera's picture, and Escape still ends the program.
#
# Usage: scripts/windows_smoke.sh [path/to/lumivex.exe]
# Needs wine (64-bit), Xvfb and xdotool: bash scripts/setup.sh windows.
# Every wait has a time limit; any failed check ends the script with exit
# code 1 and a line starting "windows_smoke: FAIL:".
set -euo pipefail

top="$(cd "$(dirname "$0")/.." && pwd)"
exe="${1:-$top/build/windows/src/lumivex.exe}"
start=$(date +%s)
deadline=$((start + 170)) # the whole run stays under 3 minutes

note() { echo "windows_smoke: $*"; }
fail() {
    echo "windows_smoke: FAIL: $*" >&2
    exit 1
}

[ -f "$exe" ] || fail "no program at $exe (build it: cmake --preset windows && cmake --build --preset windows)"
exe="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"
[ -f "$(dirname "$exe")/readme.txt" ] || fail "readme.txt is not next to $exe"
for tool in wine wineserver Xvfb xdotool od cmp timeout; do
    command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/setup.sh windows)"
done

# A GUI program (no console of its own) that runs on its own: it may import
# only DLLs that come with Windows.
objdump=x86_64-w64-mingw32-objdump
if command -v "$objdump" >/dev/null; then
    headers="$("$objdump" -p "$exe")" || fail "$objdump cannot read $exe"
    grep -E '^Subsystem[[:space:]].*Windows GUI' <<<"$headers" >/dev/null || fail "$exe is not a Windows GUI program"
    dlls="$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u | paste -s -d ' ')"
    [ -n "$dlls" ] || fail "$objdump lists no imported DLLs in $exe"
    foreign="$(tr ' ' '\n' <<<"$dlls" | grep -v -x -E '(kernel32|user32|gdi32|ole32|oleaut32|advapi32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll' || true)"
    [ -z "$foreign" ] || fail "$exe needs DLLs that Windows does not have: $(tr '\n' ' ' <<<"$foreign")"
    note "imports only system DLLs: $dlls"
else
    note "$objdump not found: subsystem and imported DLLs not checked"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/lumivex-smoke.XXXXXX")"
mkdir "$work/run"
# A private 64-bit Wine prefix; no Mono or Gecko installer prompts.
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=""
app_pid=""

show_log() {
    if [ -s "$work/$1" ]; then
        echo "---- $1 (last 30 lines)" >&2
        tail -n 30 "$work/$1" >&2
    fi
}

cleanup() {
    local status=$?
    set +e
    if [ "$status" -ne 0 ]; then
        show_log wineboot.log
        show_log app.log
        show_log xvfb.log
    fi
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    timeout 10 wineserver -k >/dev/null 2>&1
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    [ -n "$xvfb_pid" ] && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds; fails
# with WHAT when the time is up or the whole run's deadline has passed.
wait_for() {
    local limit=$1 what=$2
    shift 2
    local began end
    began=$(date +%s)
    end=$((began + limit))
    [ "$end" -le "$deadline" ] || end=$deadline
    until "$@"; do
        [ "$(date +%s)" -lt "$end" ] || fail "$what (waited $(($(date +%s) - began)) s)"
        sleep 0.2
    done
}

app_running() {
    kill -0 "$app_pid" 2>/dev/null && return 0
    local code=0
    wait "$app_pid" || code=$?
    app_pid=""
    fail "lumivex.exe ended early with exit code $code"
}

# --- virtual X server -------------------------------------------------------
source "$top/tests/e2e/xvfb.sh"
start_xvfb "$work" || fail "Xvfb did not start or takes no clients"
export DISPLAY="$xvfb_display"
note "Xvfb on $DISPLAY"

# --- Wine prefix (created on first start) -----------------------------------
t=$(date +%s)
timeout -k 5 90 wine wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed or took over 90 s (exit $?)"
timeout -k 5 30 wineserver -w || fail "wineserver did not settle within 30 s after wineboot"
note "Wine prefix ready in $(($(date +%s) - t)) s"

# Relay tracing (calls into Wine's DLLs with their arguments) for a few
# functions only: the stretch mode the program sets and the debug console.
timeout -k 5 30 wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
    /d 'gdi32.SetStretchBltMode;kernel32.AllocConsole;kernel32.WriteConsoleW' /f \
    >>"$work/wineboot.log" 2>&1 || fail "could not set Wine's relay filter"
timeout -k 5 30 wineserver -w || fail "wineserver did not settle after setting the relay filter"

# --- start the program ------------------------------------------------------
# Wine's traces of its DirectShow (quartz, which also names the capture graph
# builder's calls) and device enumerator (devenum) show the capture graph
# being built; the relay trace shows SetStretchBltMode's arguments.
(cd "$work/run" && WINEDEBUG=-all,+quartz,+devenum,+relay exec timeout -k 5 150 wine "$exe") >"$work/app.log" 2>&1 &
app_pid=$!

window_found() {
    app_running
    wid="$(timeout 10 xdotool search --onlyvisible --name '^Lumivex$' 2>/dev/null | head -n 1 || true)"
    [ -n "$wid" ]
}
wid=""
wait_for 40 "the window \"Lumivex\" did not appear" window_found
note "window \"$(timeout 10 xdotool getwindowname "$wid")\" is up (X id $wid, $(timeout 10 xdotool getwindowgeometry "$wid" | sed -n 's/.*Geometry: //p') pixels)"

# click WINDOW X Y: a click at X,Y in WINDOW. Without a window manager, Wine
# moves its keyboard focus from one of its windows to another on a click,
# not when X gives the focus.
click() {
    app_running
    timeout 10 xdotool mousemove --sync --window "$1" "$2" "$3" click 1 || fail "xdotool could not click in window $1"
}

# press KEY [WINDOW]: KEY in the program's window, or in WINDOW.
press() {
    local window=${2:-$wid}
    app_running
    timeout 10 xdotool windowfocus --sync "$window" 2>/dev/null || timeout 10 xdotool windowfocus "$window" ||
        fail "cannot give the window the keyboard focus"
    timeout 10 xdotool key --clearmodifiers "$1" || fail "xdotool could not press $1"
}

# Let the test pattern deliver frames before the first snapshot.
sleep 1.5

# --- snapshots ---------------------------------------------------------------
# Little-endian fields of a file (this host is little-endian, as BMP is).
field() { od -An -t"$3" -j"$2" -N"$4" "$1" | tr -d ' '; }

check_bmp() {
    local f="$work/run/$1"
    [ "$(head -c 2 "$f")" = "BM" ] || fail "$1 does not start with BM"
    local size
    size=$(stat -c %s "$f")
    [ "$size" -eq 921654 ] || fail "$1 is $size bytes, expected 921654"
    [ "$(field "$f" 2 u4 4)" = 921654 ] || fail "$1: bfSize is $(field "$f" 2 u4 4), expected 921654"
    [ "$(field "$f" 10 u4 4)" = 54 ] || fail "$1: bfOffBits is $(field "$f" 10 u4 4), expected 54"
    [ "$(field "$f" 14 u4 4)" = 40 ] || fail "$1: biSize is $(field "$f" 14 u4 4), expected 40"
    [ "$(field "$f" 18 d4 4)" = 640 ] || fail "$1: biWidth is $(field "$f" 18 d4 4), expected 640"
    [ "$(field "$f" 22 d4 4)" = 480 ] || fail "$1: biHeight is $(field "$f" 22 d4 4), expected +480"
    [ "$(field "$f" 26 u2 2)" = 1 ] || fail "$1: biPlanes is $(field "$f" 26 u2 2), expected 1"
    [ "$(field "$f" 28 u2 2)" = 24 ] || fail "$1: biBitCount is $(field "$f" 28 u2 2), expected 24"
    [ "$(field "$f" 30 u4 4)" = 0 ] || fail "$1: biCompression is $(field "$f" 30 u4 4), expected 0"
    [ "$(field "$f" 34 u4 4)" = 921600 ] || fail "$1: biSizeImage is $(field "$f" 34 u4 4), expected 921600"
    # A blank (all-black) picture means no frame reached the pipeline.
    [ "$(tail -c +55 "$f" | tr -d '\000' | head -c 1 | wc -c)" -eq 1 ] || fail "$1 holds an all-black picture"
}

snapshot_done() {
    app_running
    [ -f "$work/run/$1" ] && [ "$(stat -c %s "$work/run/$1")" -ge 921654 ]
}

press r
wait_for 15 "\"R\" did not write 1.bmp" snapshot_done 1.bmp
check_bmp 1.bmp
note "1.bmp: BM, 921654 bytes, 640 x 480 x 24, picture present"

sleep 0.5
press r
wait_for 15 "a second \"R\" did not write 2.bmp" snapshot_done 2.bmp
check_bmp 2.bmp
if cmp -s <(tail -c +55 "$work/run/1.bmp") <(tail -c +55 "$work/run/2.bmp"); then
    fail "1.bmp and 2.bmp hold the same picture: the test pattern is not moving"
fi
note "2.bmp: a later picture than 1.bmp"

# --- Escape ends the program ------------------------------------------------
press Escape
end=$(($(date +%s) + 20))
[ "$end" -le "$deadline" ] || end=$deadline
while kill -0 "$app_pid" 2>/dev/null; do
    [ "$(date +%s)" -lt "$end" ] || fail "Escape did not end the program within 20 s"
    sleep 0.2
done
code=0
wait "$app_pid" || code=$?
app_pid=""
[ "$code" -eq 0 ] || fail "lumivex.exe exited with code $code after Escape, expected 0"
for f in "$work/run"/* "$work/run"/.[!.]*; do
    [ -e "$f" ] || continue
    case "${f##*/}" in
    1.bmp | 2.bmp) ;;
    *) fail "unexpected file left in the working directory: ${f##*/}" ;;
    esac
done
note "Escape: exit code 0"

# The capture graph as the program builds it, step by step, in Wine's words.
graph_step() {
    grep -q -E "$1" "$work/app.log" || fail "Wine's DirectShow trace lacks: $2"
}
graph_step 'Created threaded filter graph' "the filter graph"
graph_step 'Created capture graph builder' "the capture graph builder"
graph_step 'CreateClassEnumerator .*class \{860bb310-5d01-11d0-bd3b-00a0c911ce86\}' "the listing of video capture devices"
graph_step 'Created sample grabber' "the sample grabber (CLSID_SampleGrabber)"
graph_step 'AddFilter .*name L"Sample Grabber"' "the sample grabber joining the graph"
graph_step 'major type MEDIATYPE_Video, subtype MEDIASUBTYPE_RGB24' "the grabber's RGB24 media type"
graph_step 'SetCallback .*method 0' "the grabber's sample callback"
graph_step 'Created null renderer' "the null renderer (CLSID_NullRenderer)"
graph_step 'AddFilter .*name L"Null Renderer"' "the null renderer joining the graph"
note "capture graph built under Wine: filter graph, builder, device listing, sample grabber, null renderer"

# COLORONCOLOR (3) once on the window's device context; Wine answers with the
# previous mode, the default BLACKONWHITE (1).
modes="$(grep -c -E 'Call gdi32\.SetStretchBltMode\([0-9a-f]+,0*3\)' "$work/app.log" || true)"
[ "$modes" -eq 1 ] || fail "SetStretchBltMode(COLORONCOLOR) called $modes times, expected once"
others="$(grep -E 'Call gdi32\.SetStretchBltMode\(' "$work/app.log" | grep -c -v -E ',0*3\)' || true)"
[ "$others" -eq 0 ] || fail "SetStretchBltMode called with another mode"
note "stretch mode: COLORONCOLOR set once on the window's device context"

# With a camera listed, ControlStream must be reached and its answer (Wine's
# is a stub: no stream control, as far as the program can tell) must not stop
# the camera from running.
if grep -q -E 'enum_moniker_Next Returning [1-9][0-9]* monikers' "$work/app.log"; then
    graph_step 'fnCaptureGraphBuilder2_ControlStream' "ControlStream on the camera's capture pin"
    graph_step 'MediaControl_Run' "the graph running with the camera after ControlStream"
    note "camera: ControlStream reached and the graph run"
else
    note "Wine lists no camera: ControlStream is not reached here (the stop time is tested on the portable layer)"
fi

# --- an argument from the shell, no console ------------------------------------
# "wine start" runs the program through the shell, as "Open with" does: no
# console to attach to, no standard handles.
deadline=$(($(date +%s) + 60))
winexe="$(timeout 30 winepath -w "$exe")" || fail "winepath cannot name $exe"
(cd "$work/run" && WINEDEBUG=-all,+msgbox exec timeout -k 5 50 wine start /wait "$winexe" 'C:\pictures\photo.bmp') \
    >"$work/app.log" 2>&1 &
app_pid=$!
wid=""
wait_for 40 "no message box appeared for an argument given by the shell" window_found
# Wine's trace doubles each backslash.
line="lumivex: unexpected argument 'C:\\\\pictures\\\\photo.bmp' (see lumivex --help)"
wait_for 10 "the message box does not hold the error line" grep -q -F "MSGBOX_OnInit L\"$line\"" "$work/app.log"
press Return
end=$(($(date +%s) + 20))
while kill -0 "$app_pid" 2>/dev/null; do
    [ "$(date +%s)" -lt "$end" ] || fail "closing the message box did not end the program within 20 s"
    sleep 0.2
done
code=0
wait "$app_pid" || code=$?
app_pid=""
[ "$code" -eq 2 ] || fail "lumivex.exe exited with code $code after the message box, expected 2"
note "an argument from the shell: a message box with the error line, then exit code 2"

# --- the emulated camera --------------------------------------------------------
if [ -n "${FAKECAM_LIB:-}" ]; then
    [ -f "$FAKECAM_LIB" ] || fail "no emulated camera at $FAKECAM_LIB"
    [ -x "${FAKECAM_CHECK:-}" ] || fail "FAKECAM_CHECK does not name the picture checker"
    deadline=$(($(date +%s) + 120))
    rm -rf "$work/run" && mkdir "$work/run"
    (cd "$work/run" && LD_PRELOAD="$FAKECAM_LIB" FAKECAM_FORMATS=YUYV FAKECAM_LOG="$work/fakecam.log" \
        WINEDEBUG=-all,+devenum,+relay exec timeout -k 5 100 wine "$exe") >"$work/app.log" 2>&1 &
    app_pid=$!
    wid=""
    wait_for 40 "the window \"Lumivex\" did not appear with the emulated camera" window_found
    grep -q 'property_bag_Write .*name L"FriendlyName".*L"Lumivex Fakecam"' "$work/app.log" ||
        fail "Wine's device enumerator did not list the emulated camera"
    note "Wine lists the emulated camera \"Lumivex Fakecam\" (/dev/video0)"
    # "fname: Lumivex Fakecam" is 22 characters.
    [ "$(grep -a -c 'Call KERNEL32.AllocConsole()' "$work/app.log")" -eq 1 ] ||
        fail "the run without arguments did not open the debug console once"
    grep -a -q -E 'Call KERNEL32.WriteConsoleW\([0-9a-f]+,[0-9a-f]+,0*16,' "$work/app.log" ||
        fail "the debug console did not get the camera's \"fname:\" line"
    note "the camera's \"fname:\" line went to the debug console"
    sleep 2
    press r
    wait_for 15 "\"R\" did not write 1.bmp with the emulated camera" snapshot_done 1.bmp
    "$FAKECAM_CHECK" "$work/run/1.bmp" --size 640x480 --orientation upright --colours right --max-diff 8 \
        --mean-diff 1 >"$work/1.txt" || fail "1.bmp is not the camera's frame: $(cat "$work/1.txt")"
    note "R: $(sed 's|.*/||' "$work/1.txt")"
    grep -q "VIDIOC_STREAMON: ok" "$work/fakecam.log" || fail "Wine never started the camera streaming"
    press g
    sleep 1
    press r
    wait_for 15 "a second \"R\" did not write 2.bmp with the emulated camera" snapshot_done 2.bmp
    "$FAKECAM_CHECK" "$work/run/2.bmp" --size 640x480 --orientation flipped --colours right --max-diff 8 \
        --mean-diff 1 >"$work/2.txt" || fail "2.bmp is not the camera's frame flipped: $(cat "$work/2.txt")"
    first=$(sed -n 's/.* frame \([0-9]*\) .*/\1/p' "$work/1.txt")
    second=$(sed -n 's/.* frame \([0-9]*\) .*/\1/p' "$work/2.txt")
    [ "$second" -gt "$first" ] || fail "2.bmp holds frame $second, not later than 1.bmp's frame $first"
    note "G then R: $(sed 's|.*/||' "$work/2.txt")"
    press Escape
    end=$(($(date +%s) + 20))
    while kill -0 "$app_pid" 2>/dev/null; do
        [ "$(date +%s)" -lt "$end" ] || fail "Escape did not end the program within 20 s"
        sleep 0.2
    done
    code=0
    wait "$app_pid" || code=$?
    app_pid=""
    [ "$code" -eq 0 ] || fail "lumivex.exe exited with code $code after Escape (emulated camera), expected 0"
    note "emulated camera: Escape, exit code 0"

    # The options with the camera present, their output redirected to files.
    # option ARGS...: runs them; sets `code`, fills options.out/.err/.log;
    # for an option that only informs, no debug console may open.
    option() {
        code=0
        (cd "$work/run" && LD_PRELOAD="$FAKECAM_LIB" FAKECAM_FORMATS=YUYV WINEDEBUG=-all,+relay \
            exec timeout -k 5 30 wine "$exe" "$@" >"$work/options.out" 2>"$work/options.err") \
            >"$work/options.log" 2>&1 || code=$?
        # Wine's own traces go to the same standard error.
        grep -a -v -E '^[0-9a-f]{4}:' "$work/options.err" >"$work/options.text" || true
        [ "$1" = --camera ] || ! grep -a -q 'Call KERNEL32.AllocConsole' "$work/options.err" ||
            fail "$* opened the debug console"
    }
    option --help
    [ "$code" -eq 0 ] && head -n 1 "$work/options.out" | grep -q '^Usage: lumivex' ||
        fail "--help: exit code $code, output: $(head -c 200 "$work/options.out")"
    option --version
    [ "$code" -eq 0 ] && grep -q '^Lumivex [0-9]' "$work/options.out" ||
        fail "--version: exit code $code, output: $(head -c 200 "$work/options.out")"
    option --list-cameras
    listed="$(tr -d '\r' <"$work/options.out")"
    # Number, name, the device as --camera takes it, then what the camera sends.
    [ "$code" -eq 0 ] && [ "$(cut -f 1-3 <<<"$listed")" = "$(printf '0\tLumivex Fakecam\tvfw:0')" ] ||
        fail "--list-cameras: exit code $code, output: $listed"
    option --frobnicate
    [ "$code" -eq 2 ] && [ "$(cat "$work/options.text")" = "lumivex: unknown option '--frobnicate' (see lumivex --help)" ] ||
        fail "--frobnicate: exit code $code, error output: $(cat "$work/options.text")"
    # The listed device is taken: the next check (the folder) is reached. A
    # run that goes on to its window lists the cameras on the debug console.
    option --camera vfw:0 --snapshot-dir 'C:\no\such\folder'
    [ "$code" -eq 2 ] && grep -q "snapshot folder 'C:.no.such.folder' does not exist" "$work/options.text" ||
        fail "--camera vfw:0: exit code $code, error output: $(cat "$work/options.text")"
    note "options with the camera: --help, --version, --list-cameras ($(cut -f 3 <<<"$listed")) and a mistake write their text, no console"

    # A camera that streams but never sends a frame: Wine's capture thread
    # waits for it forever, and Escape must still end the program.
    deadline=$(($(date +%s) + 60))
    rm -rf "$work/run" && mkdir "$work/run"
    (cd "$work/run" && LD_PRELOAD="$FAKECAM_LIB" FAKECAM_FORMATS=YUYV FAKECAM_FAULT=stall \
        exec timeout -k 5 50 wine "$exe") >"$work/app.log" 2>&1 &
    app_pid=$!
    wid=""
    wait_for 40 "the window \"Lumivex\" did not appear with the stalled camera" window_found
    sleep 1
    press Escape
    began=$(date +%s%N)
    end=$(($(date +%s) + 20))
    while kill -0 "$app_pid" 2>/dev/null; do
        [ "$(date +%s)" -lt "$end" ] || fail "Escape did not end the program within 20 s (stalled camera)"
        sleep 0.05
    done
    took=$((($(date +%s%N) - began) / 1000000))
    code=0
    wait "$app_pid" || code=$?
    app_pid=""
    [ "$code" -eq 0 ] || fail "lumivex.exe exited with code $code after Escape (stalled camera), expected 0"
    note "stalled camera: Escape, exit code 0 after $took ms"
fi

# --- camera controls under Wine ------------------------------------------------
# --control goes through the capture filter's IAMVideoProcAmp (Wine's maps it
# onto V4L2 controls) to the camera: brightness 40 lifts the picture's grey
# 96 to 136. --list-controls shows what that interface and IAMCameraControl
# give. --camera-settings asks the filter for its property pages; Wine's
# capture filter has none (E_NOINTERFACE), so the program says so in one
# line and opens its own dialog, "Lumivex Fakecam settings": End on its
# first row's scroll bar (brightness, which has the keyboard) takes the
# camera to its highest brightness, 64, and the grey to 160; Escape in the
# main window, the dialog still open, ends the program with exit code 0.
# With SMOKE_SCREENSHOT set, the screen with the dialog is saved there.
# Started from a batch file so that the program's standard error reaches a
# file.
if [ -n "${FAKECAM_LIB:-}" ]; then
    deadline=$(($(date +%s) + 100))
    rm -rf "$work/run" && mkdir "$work/run"
    exe_w="$(winepath -w "$exe")"
    printf '@"%s" --list-controls > controls.txt\r\n@"%s" --control brightness=40 --camera-settings 2> errors.txt\r\n' \
        "$exe_w" "$exe_w" >"$work/controls.bat"
    (cd "$work/run" && LD_PRELOAD="$FAKECAM_LIB" FAKECAM_FORMATS=BGR3 WINEDEBUG=-all exec timeout -k 5 80 \
        wine cmd /c "$(winepath -w "$work/controls.bat")") >"$work/app.log" 2>&1 &
    app_pid=$!
    wid=""
    wait_for 40 "the window \"Lumivex\" did not appear with --control" window_found
    grep -q '^brightness ' "$work/run/controls.txt" || fail "--list-controls does not list brightness under Wine"
    note "--list-controls under Wine: $(cut -d ' ' -f 1 "$work/run/controls.txt" | paste -s -d ' ')"
    dialog_found() {
        app_running
        dialog_wid="$(timeout 10 xdotool search --onlyvisible --name '^Lumivex Fakecam settings$' 2>/dev/null |
            head -n 1 || true)"
        [ -n "$dialog_wid" ]
    }
    dialog_wid=""
    wait_for 20 "--camera-settings: no window \"Lumivex Fakecam settings\"" dialog_found
    dialog="$(grep -E "no driver's settings dialog .*showing Lumivex's own" "$work/run/errors.txt" || true)"
    [ -n "$dialog" ] || fail "--camera-settings: no line about the settings dialog on standard error"
    note "--camera-settings: $dialog"
    # The dialog takes the keyboard when it opens; a click on a window gives
    # it back, but a key pressed just after may still go to the other one.
    # snapshot: clicks the picture and presses R; true once the next
    # snapshot is written, with `pixel` its bottom-left pixel (grey: the
    # first pixel of a BMP is the picture's bottom left).
    shots=0
    snapshot() {
        click "$wid" 20 20
        press r
        local next=$((shots + 1)) _
        for _ in $(seq 25); do
            snapshot_done "$next.bmp" && break
            sleep 0.2
        done
        snapshot_done "$next.bmp" || return 1
        shots=$next
        pixel="$(od -An -tu1 -j54 -N3 "$work/run/$shots.bmp" | tr -s ' ')"
    }
    # A frame from before a change may still be the newest: snapshots until
    # one shows it.
    grey() { snapshot && [ "$pixel" = " $1 $1 $1" ]; }
    wait_for 30 "--control brightness=40: no snapshot shows the camera's grey 96 as 136" grey 136
    note "--control brightness=40: the camera's grey 96 shows as 136 ($shots.bmp)"
    # End on the dialog's first scroll bar (it has the dialog's keyboard
    # focus): the highest brightness.
    brighter() {
        click "$dialog_wid" 2 2
        press End "$dialog_wid"
        grey 160
    }
    wait_for 30 "End on the dialog's brightness: no snapshot shows the grey as 160" brighter
    note "settings dialog: window \"Lumivex Fakecam settings\" ($(timeout 10 xdotool getwindowgeometry "$dialog_wid" |
        sed -n 's/.*Geometry: //p') pixels); End on brightness shows the grey as 160 ($shots.bmp)"
    if [ -n "${SMOKE_SCREENSHOT:-}" ]; then
        import -window root "$SMOKE_SCREENSHOT" || fail "could not save the screen to $SMOKE_SCREENSHOT"
        note "screen saved to $SMOKE_SCREENSHOT"
    fi
    press Escape
    end=$(($(date +%s) + 20))
    while kill -0 "$app_pid" 2>/dev/null; do
        [ "$(date +%s)" -lt "$end" ] || fail "Escape did not end the program within 20 s (--control)"
        sleep 0.2
    done
    code=0
    wait "$app_pid" || code=$?
    app_pid=""
    [ "$code" -eq 0 ] || fail "lumivex.exe exited with code $code after Escape (--control), expected 0"
fi

note "passed in $(($(date +%s) - start)) s"
