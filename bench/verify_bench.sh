#!/usr/bin/env bash
# Parity check throughput against cat, whole processes timed from outside.
#
# Generates (or reuses, with export_bench) a healthy disk group of
# CORVANE_BENCH_MEMBERS members (default 5) with one LUN of
# CORVANE_BENCH_STRIPES x 8 MiB (default 512: 4 GiB), holds its members in
# the page cache, and runs in alternating rounds:
#   verify:  corvane-cli verify of the LUN (every segment of every stripe
#            read, all members in parallel, parity checked per 4 KiB block)
#   cat:     one cat per member image to /dev/null, all in parallel (the
#            LUN's segments and each member's metadata area: a little more
#            than verify reads)
# Reports medians over CORVANE_BENCH_RUNS rounds (default 3): the throughput
# ratio verify/cat (goal >= 0.8), CPU seconds (user + sys) per GiB of LUN
# for both, and verify's peak resident memory.
# Installed as BUILD/bench/verify_bench; data goes to BUILD/bench-data (or
# CORVANE_BENCH_DATA) and is kept for the next run.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$HERE/.." && pwd)
BENCH_NAME=verify_bench
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
. "$HERE/bench_lib.sh"
CLI="$BUILD/cli/corvane-cli"
MKSAMPLE="$BUILD/tools/corvane-mksample"
DATA=${CORVANE_BENCH_DATA:-$BUILD/bench-data}
STRIPES=${CORVANE_BENCH_STRIPES:-512}
MEMBERS=${CORVANE_BENCH_MEMBERS:-5}
RUNS=${CORVANE_BENCH_RUNS:-3}

bench_need "$CLI" "$MKSAMPLE" "$BENCH_TIME"
bench_healthy_group
bench_members
READ=0
for m in "${ALL[@]}"; do READ=$((READ + $(stat -c %s "$m"))); done

bench_warm "${ALL[@]}"
# The check must pass before it is timed: a healthy group is consistent.
"$CLI" verify "${ALL[@]}" --lun 0:0 --json >"$DATA/verify.json" || {
  echo "$BENCH_NAME: verify of the healthy group did not exit 0" >&2
  exit 1
}
grep -q '"inconsistent": 0' "$DATA/verify.json"

# shellcheck disable=SC2016 # expanded by the inner shell
CAT_ALL='for f in "$@"; do cat "$f" >/dev/null & done; wait'
for ((r = 0; r < RUNS; r++)); do
  bench_record verify "$(bench_timed "$CLI" verify "${ALL[@]}" --lun 0:0 -q)"
  bench_record cat "$(bench_timed sh -c "$CAT_ALL" sh "${ALL[@]}")"
done

line() {
  awk -v t="$2" -v w="$(bench_stat "$1" wall)" -v c="$(bench_stat "$1" cpu)" -v rss="$(bench_stat "$1" rss)" \
      -v gib="$GIB" -v runs="$(bench_runs "$1")" 'BEGIN {
    printf "  %-8s %6.2f s  %7.1f MiB/s of LUN  CPU %5.2f s/GiB  peak RSS %6.1f MiB  [%s]\n", t, w, gib * 1024 / w, c / gib, rss, runs
  }'
}
vw=$(bench_stat verify wall)
cw=$(bench_stat cat wall)
echo "verify ($GIB GiB LUN, ${#ALL[@]} members, $(awk -v b="$READ" 'BEGIN { printf "%.2f", b / 1073741824 }') GiB of member images, medians of $RUNS rounds, every run in brackets)"
line verify verify
line cat cat
ratio=$(bench_ratio "$cw" "$vw")
echo "  throughput ratio verify/cat $ratio (goal >= 0.8): $(bench_goal "$ratio" ">=" 0.8)"
echo "  CPU per GiB verify/cat $(bench_ratio "$(bench_stat verify cpu)" "$(bench_stat cat cpu)")"
