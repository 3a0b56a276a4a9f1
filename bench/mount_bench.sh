#!/usr/bin/env bash
# A mounted LUN against its export, in the same run.
#
# Generates a disk group with one LUN of CORVANE_BENCH_STRIPES x 8 MiB
# (default 256: 2 GiB), holds its members in the page cache and, with every
# member (healthy) and with one left out (degraded: a segment of most
# stripes rebuilt from parity), runs in each of CORVANE_BENCH_RUNS rounds
# (default 3):
#   export   corvane-cli export of the LUN to a file (analysis and final
#            sync included, as a user waits for it)
#   mount    a fresh `corvane-cli mount`, then dd bs=1M of the LUN file to
#            /dev/null (the mount's analysis is not timed)
#   again    the same dd once more: the kernel's page cache holds the file
#   random   CORVANE_BENCH_READS (default 20000) random 4 KiB reads on a
#            fresh mount (cold: nothing of the LUN cached but its members),
#            then the same reads again (warm)
# Reports medians: throughput of each, the ratio mount/export (goal >= 0.8)
# and reads per second cold and warm.
# Installed as BUILD/bench/mount_bench; data goes to BUILD/bench-mount-data
# (or CORVANE_BENCH_DATA) and is kept for the next run. Needs /dev/fuse.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$HERE/.." && pwd)
BENCH_NAME=mount_bench
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
. "$HERE/bench_lib.sh"
CLI="$BUILD/cli/corvane-cli"
MKSAMPLE="$BUILD/tools/corvane-mksample"
RANDOM_READS="$HERE/random_reads"
DATA=${CORVANE_BENCH_DATA:-$BUILD/bench-mount-data}
STRIPES=${CORVANE_BENCH_STRIPES:-256}
MEMBERS=${CORVANE_BENCH_MEMBERS:-5}
RUNS=${CORVANE_BENCH_RUNS:-3}
READS=${CORVANE_BENCH_READS:-20000}

bench_need "$CLI" "$MKSAMPLE" "$RANDOM_READS" "$BENCH_TIME" fusermount3
if [ ! -w /dev/fuse ]; then
  echo "$BENCH_NAME: /dev/fuse is missing or not writable" >&2
  exit 2
fi
bench_healthy_group
WANT=$(bench_manifest sha256)
OUT="$DATA/out.img"
MNT="$DATA/mnt"
LUN="$MNT/lun-0-0.img"
mkdir -p "$MNT"

unmount() {
  if mountpoint -q "$MNT" 2>/dev/null; then
    fusermount3 -u "$MNT"
  fi
}
trap unmount EXIT

mount_lun() {
  unmount
  "$CLI" mount "$@" "$MNT" >/dev/null
}

# line LABEL TEXT: one command's median throughput.
line() {
  awk -v t="$2" -v w="$(bench_stat "$1" wall)" -v gib="$GIB" -v runs="$(bench_runs "$1")" 'BEGIN {
    printf "  %-22s %6.2f s  %7.1f MiB/s  [%s]\n", t, w, gib * 1024 / w, runs
  }'
}

run_scenario() {
  local name=$1
  shift
  local sources=("$@") r t cold warm
  local colds="" warms=""
  bench_warm "${sources[@]}"
  mount_lun "${sources[@]}"
  if [ "$(sha256sum "$LUN" | cut -d' ' -f1)" != "$WANT" ]; then
    echo "$BENCH_NAME: the mounted $name LUN does not match the generated one" >&2
    exit 1
  fi
  unmount
  for ((r = 0; r < RUNS; r++)); do
    rm -f "$OUT"
    t=$(bench_timed "$CLI" export "${sources[@]}" --lun 0:0 --to "$OUT")
    bench_record "$name-export" "$t"
    rm -f "$OUT"
    mount_lun "${sources[@]}"
    t=$(bench_timed dd if="$LUN" of=/dev/null bs=1M)
    bench_record "$name-mount" "$t"
    t=$(bench_timed dd if="$LUN" of=/dev/null bs=1M)
    bench_record "$name-again" "$t"
    mount_lun "${sources[@]}"
    cold=$("$RANDOM_READS" "$LUN" "$READS" "$r")
    warm=$("$RANDOM_READS" "$LUN" "$READS" "$r")
    colds+="$cold "
    warms+="$warm "
    unmount
  done

  local ew mw ratio
  ew=$(bench_stat "$name-export" wall)
  mw=$(bench_stat "$name-mount" wall)
  echo "$name ($GIB GiB, ${#sources[@]} members read, medians of $RUNS rounds, every run in brackets)"
  line "$name-export" "export"
  line "$name-mount" "dd of the mounted LUN"
  line "$name-again" "dd again (page cache)"
  ratio=$(bench_ratio "$ew" "$mw")
  echo "  throughput ratio mount/export $ratio (goal >= 0.8): $(bench_goal "$ratio" ">=" 0.8)"
  # shellcheck disable=SC2086
  echo "  random 4 KiB reads/s: cold $(printf '%s\n' $colds | bench_median) [${colds% }]," \
    "warm $(printf '%s\n' $warms | bench_median) [${warms% }]"
}

# Degraded: member 1 left out.
bench_members
run_scenario healthy "${ALL[@]}"
run_scenario degraded "${DEGRADED[@]}"
