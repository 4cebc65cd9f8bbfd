#!/usr/bin/env bash
# The whole program as a user runs it, measured from its frame trace: the
# emulated camera sends frames of one size and rate, the window is made the
# camera's size (or left as it opens), the filters are all switched on (or
# none), and over a stretch of seconds the program's trace (LUMIVEX_TRACE)
# and /proc give: frames shown per second, frames lost between the camera
# and the screen, CPU use, and the latency from the camera having a frame
# ready to its picture being on the screen (median and 99th percentile).
#
#   scripts/frame_trace.sh [SIZE [FPS [FILTERS [WINDOW [FORMAT]]]]]
#     SIZE     camera frame size (default 1920x1080)
#     FPS      camera frame rate (default 30)
#     FILTERS  none | all (default all)
#     WINDOW   camera | opens (default camera: the window at the camera's size)
#     FORMAT   BGR3 | YUYV | MJPG (default BGR3)
#   FRAME_TRACE_SECONDS  the measured stretch (default 10), after 3 s of warming up
#   FRAME_TRACE_RECORD   a file to which the figures are added as one line of
#                        "key=value" fields as well (scripts/bench.sh reads it)
#   LUMIVEX_BIN, FAKECAM_LIB  the program and the emulated camera (default: the release build)
#
# Prints one line of figures; needs Xvfb, xdotool and python3. The emulated
# camera draws its frames inside the program's process, so its own cost is
# in the CPU figure (docs/performance.md gives it alone). The trace's lines
# are those of frames that fell due during the measured stretch.
set -euo pipefail

size="${1:-1920x1080}"
fps="${2:-30}"
filters="${3:-all}"
window="${4:-camera}"
format="${5:-BGR3}"
seconds="${FRAME_TRACE_SECONDS:-10}"
top="$(cd "$(dirname "$0")/.." && pwd)"
bin="${LUMIVEX_BIN:-$top/build/release/src/lumivex}"
lib="${FAKECAM_LIB:-$top/build/release/tests/support/fakecam/libfakecam.so}"
bin="$(realpath "$bin")"
lib="$(realpath "$lib")"
for f in "$bin" "$lib"; do [ -e "$f" ] || { echo "frame_trace: no $f (build the release preset)" >&2; exit 2; }; done
for t in Xvfb xdotool python3; do command -v "$t" >/dev/null || { echo "frame_trace: $t is missing" >&2; exit 2; }; done

source "$top/tests/e2e/xvfb.sh"
e2e_workspace KILL
start_xvfb "$work" 2560x1440x24 || { echo "frame_trace: Xvfb did not start" >&2; exit 2; }
export DISPLAY="$xvfb_display"

mkdir "$work/run"
(cd "$work/run" && LD_PRELOAD="$lib" FAKECAM_FORMATS="$format" FAKECAM_SIZES="$size" FAKECAM_FPS="$fps" \
    FAKECAM_LOG="$work/fakecam.log" FAKECAM_LOG_ALL=1 LUMIVEX_TRACE="$work/trace" exec "$bin") 2>"$work/stderr.log" &
app_pid=$!
win=""
for _ in $(seq 300); do
    win="$(xdotool search --name '^Lumivex$' 2>/dev/null | head -n1 || true)"
    [ -n "$win" ] && break
    sleep 0.1
done
[ -n "$win" ] || { echo "frame_trace: no window" >&2; cat "$work/stderr.log" >&2; exit 1; }
xdotool windowfocus "$win" 2>/dev/null || true
if [ "$window" = camera ]; then
    xdotool windowsize "$win" "${size%x*}" "$(( ${size#*x} + 82 ))"
fi
[ "$filters" = all ] && xdotool key --delay 20 1 2 3 4 5 6 7 8 9 0 e y u i
sleep 3
ticks() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
monotonic() { python3 -c 'import time; print(time.monotonic_ns())'; }
dequeued() { grep -c 'VIDIOC_DQBUF: ok' "$work/fakecam.log" || true; }
t0=$(monotonic)
c0=$(ticks)
d0=$(dequeued)
sleep "$seconds"
d1=$(dequeued)
[ -n "${FRAME_TRACE_DEBUG:-}" ] && echo "dequeued $d0 -> $d1" >&2
c1=$(ticks)
t1=$(monotonic)
load="$(cut -d' ' -f1-3 /proc/loadavg)"
geometry="$(xdotool getwindowgeometry --shell "$win" | awk -F= '/^WIDTH/{w=$2} /^HEIGHT/{h=$2} END{print w "x" h}')"
xdotool key Escape
wait "$app_pid" 2>/dev/null || true
app_pid=""

[ -e "$work/trace" ] || : >"$work/trace" # a program without the trace: dequeued and CPU only
python3 - "$work/trace" "$t0" "$t1" "$c0" "$c1" "$(getconf CLK_TCK)" "$fps" "$((d1 - d0))" "$seconds" \
    "${FRAME_TRACE_RECORD:-}" "$size $fps $filters $window $format" <<'EOF' |
import sys
path, t0, t1, c0, c1, hz, fps, taken, seconds, record, case = sys.argv[1:]
t0, t1 = int(t0) // 1000, int(t1) // 1000  # microseconds, the trace's clock (CLOCK_MONOTONIC)
shown, replaced, seqs, chain = [], 0, [], []
for line in open(path):
    if line.startswith('#'):
        continue
    seq, ready, dequeued, published, at = line.split()
    ready = int(ready)
    if not (t0 <= ready < t1):
        continue
    seqs.append(int(seq))
    if at == '-':
        replaced += 1
        continue
    shown.append(int(at) - ready)
    chain.append(int(published) - int(dequeued))
span = (t1 - t0) / 1e6
made = float(fps) * span
cpu = (int(c1) - int(c0)) / int(hz) / span * 100
shown.sort()
chain.sort()
def pct(v, p):
    return v[min(len(v) - 1, int(p * len(v)))] / 1000 if v else float('nan')
never = made - len(seqs)  # frames the camera made that the program never dequeued
period = 1000 / float(fps)
median, p99, chain_median = pct(shown, 0.5), pct(shown, 0.99), pct(chain, 0.5)
target = period + chain_median
if record:
    size, rate, filters, window, fmt = case.split()
    with open(record, 'a') as out:
        out.write(f"size={size} fps={rate} filters={filters} window={window} format={fmt} "
                  f"shown={len(shown) / span:.1f} cpu={cpu:.0f} lost={max(never, 0) + replaced:.0f} "
                  f"median={median:.1f} p99={p99:.1f} target={target:.1f}\n")
print(f"dequeued {int(taken) / float(seconds):.1f}/s, shown {len(shown) / span:.1f}/s of {fps}; lost: {max(never, 0):.0f} not dequeued, {replaced} replaced "
      f"unseen, of {made:.0f}; CPU {cpu:.0f} %; latency median {median:.1f} ms, 99th {p99:.1f} ms "
      f"(target {target:.1f} = period {period:.1f} + chain median {chain_median:.1f}: "
      f"{'met' if p99 <= target else 'median met, 99th MISSED' if median <= target else 'MISSED'})")
EOF
    sed "s/^/$size $fps fps $format, filters $filters, window $geometry, load $load: /"
