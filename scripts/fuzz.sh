#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset) and runs each for the given
# number of seconds (default 30), starting from the seed corpus in fuzz/corpus
# (which holds every input that once found a fault). New inputs go to a
# temporary folder; a crash leaves its input in build/fuzz/artifacts and
# fails the run. Prints the executions of each target.
# Usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
top="$(pwd)"
seconds="${1:-30}"
shift || true
targets=("${@:-frame_seam v4l2_answers session}")
targets=(${targets[*]})

bash scripts/setup.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

artifacts="$top/build/fuzz/artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export LSAN_OPTIONS="suppressions=$top/fuzz/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t"
    if ! "$top/build/fuzz/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
        -timeout=20 -artifact_prefix="$artifacts/$t-" "$work/$t" "$top/fuzz/corpus/$t" >"$work/$t.log" 2>&1; then
        echo "fuzz: $t FAILED:" >&2
        grep -E "ERROR|runtime error|SUMMARY|Test unit written" "$work/$t.log" | head -n 20 >&2
        status=1
    fi
    runs="$(awk '/stat::number_of_executed_units/{print $2}' "$work/$t.log")"
    echo "fuzz: $t: ${runs:-0} executions in $seconds s"
done
exit $status
