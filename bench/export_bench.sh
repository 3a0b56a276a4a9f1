#!/usr/bin/env bash
# Export throughput against cp, whole processes timed from outside.
#
# Generates a healthy disk group with one LUN of CORVANE_BENCH_STRIPES x 8 MiB
# (default 512: 4 GiB), holds its members in the page cache and exports the
# LUN with every member (healthy) and with one member left out (degraded: a
# segment of most stripes rebuilt from parity). Each round runs, so that any
# two alternate A B A B:
#   healthy:  export, cp, export --map, export --hash sha256, cp + fdatasync
#   degraded: export, cp, export --hash sha256, cp + fdatasync
# where cp copies a file of the LUN's size on the same file system. The
# export makes what it wrote durable (fdatasync at every checkpoint and at
# the end); cp does not, so "cp + fdatasync" (cp, then sync -d of the copy)
# is the baseline that does the same work. --map adds the mapfile that each
# checkpoint writes after syncing the target. --hash sha256 digests what is
# written on a thread of its own (stripes written from buffers are hashed
# from them, kernel-copied ones read back from the target).
# Reports medians over CORVANE_BENCH_RUNS rounds (default 3): the throughput
# ratio export/cp, CPU seconds (user + sys) per GiB, the export's peak
# resident memory, against these goals:
#   ratio >= 0.7 healthy, >= 0.6 degraded; CPU per GiB <= 2 x cp's;
#   peak RSS <= 360 MiB + 40 MiB per member + 64 MiB;
#   time with --hash sha256 <= 1.1 x without (and its CPU seconds);
# and, without goals, the ratios against cp + fdatasync and --map / without.
# Installed as BUILD/bench/export_bench; data goes to BUILD/bench-data
# (or CORVANE_BENCH_DATA) and is kept for the next run.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$HERE/.." && pwd)
BENCH_NAME=export_bench
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
WANT=$(bench_manifest sha256)
OUT="$DATA/out.img"
MAP="$DATA/out.map"
REF="$DATA/ref.img"
COPY="$DATA/copy.img"

# One round's command: its output goes before it starts, so each command
# starts with the same free memory.
export_to() {
  rm -f "$OUT" "$MAP" "$COPY"
  bench_timed "$CLI" export "$@" --lun 0:0 --to "$OUT"
}
copy() {
  rm -f "$OUT" "$MAP" "$COPY"
  bench_timed cp "$REF" "$COPY"
}
copy_synced() {
  rm -f "$OUT" "$MAP" "$COPY"
  # shellcheck disable=SC2016 # expanded by the inner shell
  bench_timed sh -c 'cp "$1" "$2" && sync -d "$2"' sh "$REF" "$COPY"
}

# line LABEL TEXT: one command's medians.
line() {
  awk -v t="$2" -v w="$(bench_stat "$1" wall)" -v c="$(bench_stat "$1" cpu)" -v rss="$(bench_stat "$1" rss)" \
      -v gib="$GIB" -v runs="$(bench_runs "$1")" 'BEGIN {
    printf "  %-16s %6.2f s  %7.1f MiB/s  CPU %5.2f s/GiB  peak RSS %6.1f MiB  [%s]\n", t, w, gib * 1024 / w, c / gib, rss, runs
  }'
}

run_scenario() {
  local name=$1 ratioGoal=$2
  shift 2
  local sources=("$@") r t
  bench_warm "${sources[@]}"
  rm -f "$OUT"
  "$CLI" export "${sources[@]}" --lun 0:0 --to "$OUT" >/dev/null
  if [ "$(sha256sum "$OUT" | cut -d' ' -f1)" != "$WANT" ]; then
    echo "$BENCH_NAME: $name export does not match the generated LUN" >&2
    exit 1
  fi
  [ -f "$REF" ] || cp "$OUT" "$REF"
  bench_warm "$REF"
  for ((r = 0; r < RUNS; r++)); do
    t=$(export_to "${sources[@]}")
    bench_record "$name" "$t"
    t=$(copy)
    bench_record "$name-cp" "$t"
    if [ "$name" = healthy ]; then
      t=$(export_to "${sources[@]}" --map "$MAP")
      bench_record "$name-map" "$t"
    fi
    t=$(export_to "${sources[@]}" --hash sha256 --json)
    bench_record "$name-hash" "$t"
    if ! grep -q "\"value\": \"$WANT\"" "$BENCH_LOGS/stdout.log"; then
      echo "$BENCH_NAME: $name export --hash sha256 does not report the generated LUN's hash" >&2
      exit 1
    fi
    t=$(copy_synced)
    bench_record "$name-cpsync" "$t"
  done
  rm -f "$OUT" "$MAP" "$COPY"

  local ew cw sw ec cc ratio cpuRatio rss rssGoal
  ew=$(bench_stat "$name" wall)
  cw=$(bench_stat "$name-cp" wall)
  sw=$(bench_stat "$name-cpsync" wall)
  ec=$(bench_stat "$name" cpu)
  cc=$(bench_stat "$name-cp" cpu)
  rss=$(bench_stat "$name" rss)
  rssGoal=$((360 + 40 * ${#sources[@]} + 64))
  echo "$name ($GIB GiB, ${#sources[@]} members read, medians of $RUNS rounds, every run in brackets)"
  line "$name" export
  [ "$name" = healthy ] && line "$name-map" "export --map"
  line "$name-hash" "export --hash"
  line "$name-cp" cp
  line "$name-cpsync" "cp + fdatasync"
  ratio=$(bench_ratio "$cw" "$ew")
  echo "  throughput ratio export/cp $ratio (goal >= $ratioGoal): $(bench_goal "$ratio" ">=" "$ratioGoal")"
  echo "  throughput ratio export/(cp + fdatasync) $(bench_ratio "$sw" "$ew")"
  cpuRatio=$(bench_ratio "$ec" "$cc")
  echo "  CPU per GiB export/cp $cpuRatio (goal <= 2): $(bench_goal "$cpuRatio" "<=" 2)"
  echo "  peak RSS $(printf '%.1f' "$rss") MiB (goal <= $rssGoal MiB): $(bench_goal "$rss" "<=" "$rssGoal")"
  if [ "$name" = healthy ]; then
    echo "  time --map / without $(bench_ratio "$(bench_stat "$name-map" wall)" "$ew")"
  fi
  local hashRatio
  hashRatio=$(bench_ratio "$(bench_stat "$name-hash" wall)" "$ew")
  echo "  time --hash sha256 / without $hashRatio (goal <= 1.1): $(bench_goal "$hashRatio" "<=" 1.1);" \
    "CPU $(printf '%.2f' "$(bench_stat "$name-hash" cpu)") s vs $(printf '%.2f' "$ec") s"
}

# Degraded: member 1 left out.
bench_members
run_scenario healthy 0.7 "${ALL[@]}"
run_scenario degraded 0.6 "${DEGRADED[@]}"
