#!/usr/bin/env bash
# Export throughput against cp, whole processes timed from outside.
#
# Generates a healthy disk group with one LUN of CORVANE_BENCH_STRIPES x 8 MiB
# (default 512: 4 GiB), holds its members in the page cache and exports the
# LUN twice per run: with every member (healthy) and with one member left
# out (degraded: a segment of most stripes rebuilt from parity). Each export
# is paired with cp of a file of the same size on the same file system.
# Reports the throughput ratio export/cp, CPU seconds (user + sys) per GiB
# of both, and the export's peak resident memory, as medians over
# CORVANE_BENCH_RUNS runs, against these goals:
#   ratio >= 0.7 healthy, >= 0.6 degraded; CPU per GiB <= 2 x cp's;
#   peak RSS <= 360 MiB + 40 MiB per member + 64 MiB.
# Installed as BUILD/bench/export_bench; data goes to BUILD/bench-data
# (or CORVANE_BENCH_DATA) and is kept for the next run.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$HERE/.." && pwd)
CLI="$BUILD/cli/corvane-cli"
MKSAMPLE="$BUILD/tools/corvane-mksample"
DATA=${CORVANE_BENCH_DATA:-$BUILD/bench-data}
STRIPES=${CORVANE_BENCH_STRIPES:-512}
MEMBERS=${CORVANE_BENCH_MEMBERS:-5}
RUNS=${CORVANE_BENCH_RUNS:-3}
TIME=/usr/bin/time

for tool in "$CLI" "$MKSAMPLE" "$TIME"; do
  if [ ! -x "$tool" ]; then
    echo "export_bench: $tool is missing" >&2
    exit 2
  fi
done
mkdir -p "$DATA"
GROUP="$DATA/group"
STAMP="$GROUP/params"
PARAMS="members=$MEMBERS stripes=$STRIPES"
if [ ! -f "$STAMP" ] || [ "$(cat "$STAMP")" != "$PARAMS" ]; then
  rm -rf "$GROUP"
  echo "generating $PARAMS into $GROUP ..."
  "$MKSAMPLE" --out "$GROUP" --members "$MEMBERS" --lun-stripes "$STRIPES" --seed 7 >/dev/null
  echo "$PARAMS" >"$STAMP"
fi
BYTES=$((STRIPES * 8388608))
GIB=$(awk -v b="$BYTES" 'BEGIN { printf "%.6f", b / 1073741824 }')
WANT=$(awk '/"sha256":/ { gsub(/[",]/, "", $2); print $2; exit }' "$GROUP/manifest.json")
OUT="$DATA/out.img"
REF="$DATA/ref.img"
COPY="$DATA/copy.img"

# One timed run: prints "wall user sys maxrss_kib". Dirty pages of earlier
# runs are flushed first, so neither command pays for the other's writes.
timed() {
  local log="$DATA/time.log"
  sync
  "$TIME" -f "%e %U %S %M" -o "$log" "$@" >/dev/null 2>"$DATA/stderr.log" || {
    echo "export_bench: '$*' failed:" >&2
    cat "$DATA/stderr.log" >&2
    exit 1
  }
  tail -n 1 "$log"
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

run_scenario() {
  local name=$1 ratioGoal=$2
  shift 2
  local sources=("$@")
  cat "${sources[@]}" >/dev/null # into the page cache
  rm -f "$OUT"
  "$CLI" export "${sources[@]}" --lun 0:0 --to "$OUT" >/dev/null
  local got
  got=$(sha256sum "$OUT" | cut -d' ' -f1)
  if [ "$got" != "$WANT" ]; then
    echo "export_bench: $name export does not match the generated LUN" >&2
    exit 1
  fi
  [ -f "$REF" ] || cp "$OUT" "$REF"
  cat "$REF" >/dev/null
  local ew=() eu=() ec=() er=() cw=() cc=()
  for ((r = 0; r < RUNS; r++)); do
    rm -f "$OUT"
    read -r w u s m < <(timed "$CLI" export "${sources[@]}" --lun 0:0 --to "$OUT")
    ew+=("$w"); ec+=("$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')"); er+=("$m")
    # Each command starts with the same free memory: the other's output goes.
    rm -f "$OUT" "$COPY"
    read -r w u s m < <(timed cp "$REF" "$COPY")
    cw+=("$w"); cc+=("$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }')")
    rm -f "$COPY"
  done
  rm -f "$OUT"
  local mew mcw mec mcc mer ratio
  mew=$(printf '%s\n' "${ew[@]}" | median)
  mcw=$(printf '%s\n' "${cw[@]}" | median)
  mec=$(printf '%s\n' "${ec[@]}" | median)
  mcc=$(printf '%s\n' "${cc[@]}" | median)
  mer=$(printf '%s\n' "${er[@]}" | median)
  local inMap=${#sources[@]}
  awk -v name="$name" -v ew="$mew" -v cw="$mcw" -v ec="$mec" -v cc="$mcc" -v rss="$mer" -v gib="$GIB" \
      -v goal="$ratioGoal" -v members="$inMap" -v runs="$RUNS" 'BEGIN {
    ratio = cw / ew
    epg = ec / gib; cpg = cc / gib
    rssMiB = rss / 1024; rssGoal = 360 + 40 * members + 64
    printf "%s (%.2f GiB, %d members read, median of %d runs)\n", name, gib, members, runs
    printf "  export: %6.2f s  %7.1f MiB/s  CPU %5.2f s/GiB  peak RSS %6.1f MiB\n", ew, gib * 1024 / ew, epg, rssMiB
    printf "  cp:     %6.2f s  %7.1f MiB/s  CPU %5.2f s/GiB\n", cw, gib * 1024 / cw, cpg
    printf "  throughput ratio export/cp %.2f (goal >= %.1f): %s\n", ratio, goal, ((ratio >= goal) ? "met" : "MISSED")
    printf "  CPU per GiB export/cp %.2f (goal <= 2): %s\n", (cpg > 0 ? epg / cpg : 0), ((epg <= 2 * cpg) ? "met" : "MISSED")
    printf "  peak RSS %.1f MiB (goal <= %d MiB): %s\n", rssMiB, rssGoal, ((rssMiB <= rssGoal) ? "met" : "MISSED")
  }'
}

mapfile -t ALL < <(for ((i = 0; i < MEMBERS; i++)); do echo "$GROUP/member$i.img"; done)
# Degraded: member 1 left out (member 0 holds the tables).
DEGRADED=("${ALL[@]}")
unset 'DEGRADED[1]'
run_scenario healthy 0.7 "${ALL[@]}"
run_scenario degraded 0.6 "${DEGRADED[@]}"
