#!/usr/bin/env bash
# Export from members that stream like separate disks, whole processes
# timed from outside.
#
# A generated group of five members with one LUN of CORVANE_NBD_BENCH_STRIPES
# x 8 MiB (default 128: 1 GiB). Each member image is served by its own
# nbdkit (--filter=rate: CORVANE_NBD_BENCH_RATE bits per second, default
# 400M, with a bucket of CORVANE_NBD_BENCH_BURST seconds, default 0.2, so a
# member never bursts far ahead of its rate; --filter=ddrescue: the blocks
# its mapfile does not mark '+' fail with EIO) behind a read-only nbdfuse
# mount. Two sets of mounts over the same images: "healthy" (every block
# '+') and "damaged" (CORVANE_NBD_BENCH_BAD_PERCENT, default 1, of the pages
# of the LUN's segments unreadable on members 1 and 2, scattered at random).
# Each round runs, in this order (so any two alternate A B A B):
#   export   the LUN from the healthy mounts
#   dd       one dd per member in parallel, reading from the healthy mounts
#            exactly the 2 MiB data segments the healthy export reads (the
#            parity segments are not read by a healthy export), to /dev/null
#   damaged  the LUN from the damaged mounts
#   map      as export, with --map (a checkpoint syncs the target first)
#   analyze  the analysis alone, from the healthy mounts
# Reports medians over CORVANE_BENCH_RUNS rounds (default 3) of wall time,
# CPU seconds (user + sys) and peak RSS, and these ratios and goals:
#   export / dd <= 1.1;  damaged / export <= 1.5, with the damaged export's
#   zero-filled bytes equal to the least possible loss (the generator's
#   lostBytes) and its bytes equal to the least-loss export; map / export
#   (what the durability costs, no goal).
# An untimed export from each set first checks the bytes, and that the
# segments dd reads are the data segments of the exported LUN.
#
# Skips (exit 0) with a message when /dev/fuse, nbdkit (with its rate and
# ddrescue filters), nbdfuse or fusermount3 is missing. Unmounts
# (fusermount3 -u) and ends the servers it started, by pid, however it ends.
# Installed as BUILD/bench/export_nbd_bench; data goes to
# BUILD/bench-data/nbd (or CORVANE_BENCH_DATA/nbd) and is kept.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$HERE/.." && pwd)
BENCH_NAME=export_nbd_bench
# shellcheck source-path=SCRIPTDIR source=bench_lib.sh
. "$HERE/bench_lib.sh"
CLI="$BUILD/cli/corvane-cli"
MKSAMPLE="$BUILD/tools/corvane-mksample"
DATA=${CORVANE_BENCH_DATA:-$BUILD/bench-data}/nbd
STRIPES=${CORVANE_NBD_BENCH_STRIPES:-128}
RATE=${CORVANE_NBD_BENCH_RATE:-400M}
BURST=${CORVANE_NBD_BENCH_BURST:-0.2}
BAD_PERCENT=${CORVANE_NBD_BENCH_BAD_PERCENT:-1}
RUNS=${CORVANE_BENCH_RUNS:-3}
MEMBERS=5
BAD_MEMBERS=(1 2)
SEGMENT=$((2 << 20))
FIRST_SEGMENT=32 # where the generator places the first LUN's stripe segments

skip() {
  echo "$BENCH_NAME: skipped: $*"
  exit 0
}
missing=()
if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then missing+=("/dev/fuse"); fi
for tool in nbdkit nbdfuse fusermount3 mountpoint; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if ((${#missing[@]} > 0)); then
  skip "serving members needs ${missing[*]} (scripts/install-deps bench installs nbdkit, libnbd-bin and fuse3)"
fi
if ! nbdkit --filter=rate --filter=ddrescue null --dump-plugin >/dev/null 2>&1; then
  skip "this nbdkit lacks the rate or the ddrescue filter"
fi
bench_need "$CLI" "$MKSAMPLE" "$BENCH_TIME"

mkdir -p "$DATA"
BENCH_LOGS="$DATA"
GROUP="$DATA/group"
PARAMS="stripes=$STRIPES bad=$BAD_PERCENT% on ${BAD_MEMBERS[*]} seed=7"
make_group() {
  mkdir -p "$GROUP"
  # Pages of the LUN's stripe segments (every member holds one segment of
  # each stripe, from segment 32 on), chosen at random, distinct.
  local pages=$((STRIPES * SEGMENT / 4096)) i
  {
    printf '{"seed": 7, "healthy": {"members": %d, "lunStripes": [%d]}, "members": [\n' "$MEMBERS" "$STRIPES"
    for ((i = 0; i < MEMBERS; i++)); do
      printf '  {"diskId": %d' "$i"
      if [[ " ${BAD_MEMBERS[*]} " == *" $i "* ]]; then
        printf ', "unreadable": ['
        awk -v pages="$pages" -v pct="$BAD_PERCENT" -v seed="$((1000 + i))" \
            -v base="$((FIRST_SEGMENT * SEGMENT))" 'BEGIN {
          srand(seed); want = int(pages * pct / 100)
          while (n < want) { p = int(rand() * pages); if (!(p in chosen)) { chosen[p] = 1; list[n++] = p } }
          for (k = 0; k < n; k++) printf "%s[%d, 4096]", (k ? ", " : ""), base + list[k] * 4096
        }'
        printf ']'
      fi
      printf '}%s\n' "$( ((i + 1 < MEMBERS)) && echo ,)"
    done
    printf ']}\n'
  } >"$GROUP/plan.json"
  "$MKSAMPLE" --out "$GROUP" --group "$GROUP/plan.json" >"$GROUP/mksample.log"
}
bench_sample "$PARAMS" make_group
WANT=$(bench_manifest sha256)
WANT_DAMAGED=$(bench_manifest exportSha256)
LEAST_LOST=$(bench_manifest lostBytes)
BYTES=$((STRIPES * 8 * 1048576))
GIB=$(bench_gib "$BYTES")
OUT="$DATA/out.img"
MAP="$DATA/out.map"

# Maps that mark every byte of an image '+'.
for ((i = 0; i < MEMBERS; i++)); do
  size=$(stat -c %s "$GROUP/member$i.img")
  printf '# Mapfile\n0x00000000 + 1\n0x00000000 0x%X +\n' "$size" >"$GROUP/member$i.ok.map"
done

RUN=$(mktemp -d "${TMPDIR:-/tmp}/corvane-nbd-bench-XXXXXX")
SERVERS=() FUSES=() MOUNTS=()

# Waits for pid (a child) to end, up to 10 s; then SIGTERM, then SIGKILL.
reap() {
  local pid=$1 t
  for ((t = 0; t < 200; t++)); do
    if ! kill -0 "$pid" 2>/dev/null || [ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" = Z ]; then
      wait "$pid" 2>/dev/null || true
      return
    fi
    sleep 0.05
  done
  kill -TERM "$pid" 2>/dev/null || true
  sleep 1
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$? m p busy=0
  set +e
  for m in "${MOUNTS[@]}"; do
    if mountpoint -q "$m"; then
      fusermount3 -u "$m" 2>/dev/null || fusermount3 -u -z "$m"
    fi
  done
  for p in "${FUSES[@]}"; do reap "$p"; done
  for p in "${SERVERS[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${SERVERS[@]}"; do reap "$p"; done
  for m in "${MOUNTS[@]}"; do
    if mountpoint -q "$m"; then
      busy=1
      echo "$BENCH_NAME: $m is still mounted" >&2
    fi
  done
  [ "$busy" -eq 0 ] && rm -rf "$RUN"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Waits until a server wrote its pid file; fails with its log if it ends.
await() {
  local pidfile=$1 pid=$2 what=$3 log=$4 t
  for ((t = 0; t < 400; t++)); do
    [ -s "$pidfile" ] && return 0
    if ! kill -0 "$pid" 2>/dev/null; then
      echo "$BENCH_NAME: $what did not start:" >&2
      cat "$log" >&2
      exit 1
    fi
    sleep 0.05
  done
  echo "$BENCH_NAME: $what not ready after 20 s:" >&2
  cat "$log" >&2
  exit 1
}

# serve SET I MAP: member I's image behind nbdkit and nbdfuse; prints the
# served file.
serve() {
  local set=$1 i=$2 map=$3
  local image="$GROUP/member$i.img" dir="$RUN/$set$i" mnt="$RUN/mnt/$set$i"
  mkdir -p "$dir" "$mnt"
  nbdkit -f -r -U "$dir/sock" -P "$dir/nbdkit.pid" --filter=rate --filter=ddrescue \
    file file="$image" ddrescue-mapfile="$map" rate="$RATE" burstiness="$BURST" </dev/null >>"$dir/log" 2>&1 &
  SERVERS+=($!)
  await "$dir/nbdkit.pid" $! "nbdkit for $image" "$dir/log"
  MOUNTS+=("$mnt")
  nbdfuse -r -P "$dir/nbdfuse.pid" "$mnt/member$i.img" --unix "$dir/sock" </dev/null >>"$dir/log" 2>&1 &
  FUSES+=($!)
  await "$dir/nbdfuse.pid" $! "nbdfuse for $image" "$dir/log"
}

# The servers read the images from the page cache: the rate is the limit.
bench_warm "$GROUP"/member*.img
HEALTHY=() DAMAGED=()
for ((i = 0; i < MEMBERS; i++)); do
  serve healthy "$i" "$GROUP/member$i.ok.map"
  HEALTHY+=("$RUN/mnt/healthy$i/member$i.img")
  bad="$GROUP/member$i.bad.map"
  [ -f "$bad" ] || bad="$GROUP/member$i.ok.map"
  serve damaged "$i" "$bad"
  DAMAGED+=("$RUN/mnt/damaged$i/member$i.img")
done

# Stripe k has data position p on member (k + p) mod 5 and its parity on
# member (k + 4) mod 5, each in segment 32 + k. The dd script reads each
# member's runs of data segments.
{
  echo 'set -e'
  echo 'pids=()'
  for ((m = 0; m < MEMBERS; m++)); do
    printf '('
    k=0
    while ((k < STRIPES)); do
      if (((m - k % MEMBERS + MEMBERS) % MEMBERS == 4)); then
        k=$((k + 1))
        continue
      fi
      from=$k
      while ((k < STRIPES && (m - k % MEMBERS + MEMBERS) % MEMBERS != 4)); do k=$((k + 1)); done
      printf ' dd if=%q of=/dev/null bs=2M iflag=fullblock skip=%d count=%d status=none;' \
        "${HEALTHY[$m]}" $((FIRST_SEGMENT + from)) $((k - from))
    done
    printf ' ) & pids+=($!)\n'
  done
  # shellcheck disable=SC2016 # for the dd script
  echo 'for p in "${pids[@]}"; do wait "$p"; done'
} >"$RUN/dd.sh"
DD_BYTES=$(grep -o 'count=[0-9]*' "$RUN/dd.sh" | awk -F= -v s="$SEGMENT" '{ n += $2 } END { print n * s }')

# Zero-filled bytes in an export's summary.
lost_bytes() {
  if grep -q '^No LUN bytes were zero-filled' "$1"; then
    echo 0
  else
    sed -n 's/^Zero-filled LUN ranges (could not be recovered): [0-9]* ranges, \([0-9]*\) bytes.*/\1/p' "$1"
  fi
}

echo "checking the exports' bytes and where the data segments lie ..."
rm -f "$OUT"
bench_timed "$CLI" export "${HEALTHY[@]}" --lun 0:0 --to "$OUT" >/dev/null
if [ "$(sha256sum "$OUT" | cut -d' ' -f1)" != "$WANT" ]; then
  echo "$BENCH_NAME: the healthy export does not match the generated LUN" >&2
  exit 1
fi
for ((k = 0; k < STRIPES; k++)); do
  for ((p = 0; p < 4; p++)); do
    m=$(((k + p) % MEMBERS))
    if ! cmp -s -n 131072 -i "$(((FIRST_SEGMENT + k) * SEGMENT)):$((k * 8388608 + p * 131072))" \
      "$GROUP/member$m.img" "$OUT"; then
      echo "$BENCH_NAME: stripe $k position $p is not in segment $((FIRST_SEGMENT + k)) of member $m:" \
        "the dd baseline would read the wrong segments" >&2
      exit 1
    fi
  done
done
rm -f "$OUT"
bench_timed "$CLI" export "${DAMAGED[@]}" --lun 0:0 --to "$OUT" >/dev/null
if [ "$(sha256sum "$OUT" | cut -d' ' -f1)" != "$WANT_DAMAGED" ]; then
  echo "$BENCH_NAME: the damaged export differs from the least-loss export" >&2
  exit 1
fi
LOST=$(lost_bytes "$DATA/stdout.log")

for ((r = 0; r < RUNS; r++)); do
  echo "round $((r + 1)) of $RUNS ..."
  rm -f "$OUT"
  t=$(bench_timed "$CLI" export "${HEALTHY[@]}" --lun 0:0 --to "$OUT")
  bench_record export "$t"
  rm -f "$OUT"
  t=$(bench_timed bash "$RUN/dd.sh")
  bench_record dd "$t"
  rm -f "$OUT"
  t=$(bench_timed "$CLI" export "${DAMAGED[@]}" --lun 0:0 --to "$OUT")
  bench_record damaged "$t"
  got=$(lost_bytes "$DATA/stdout.log")
  if [ "$got" != "$LOST" ]; then
    echo "$BENCH_NAME: the damaged export lost $got bytes in round $((r + 1)), $LOST before" >&2
    exit 1
  fi
  rm -f "$OUT" "$MAP"
  t=$(bench_timed "$CLI" export "${HEALTHY[@]}" --lun 0:0 --to "$OUT" --map "$MAP")
  bench_record map "$t"
  t=$(bench_timed "$CLI" analyze "${HEALTHY[@]}")
  bench_record analyze "$t"
done
rm -f "$OUT" "$MAP"

bad_pages=$(sed -n 's/^ *\([0-9]*\) bytes unreadable.*/\1/p' "$GROUP/mksample.log" | awk '{ n += $1 / 4096 } END { print n }')
row() {
  local label=$1 text=$2 bytes=$3 w c
  w=$(bench_stat "$label" wall)
  c=$(bench_stat "$label" cpu)
  awk -v t="$text" -v w="$w" -v c="$c" -v rss="$(bench_stat "$label" rss)" -v b="$bytes" -v gib="$GIB" \
      -v runs="$(bench_runs "$label")" 'BEGIN {
    rate = (b > 0) ? sprintf("%7.1f MiB/s", b / 1048576 / w) : sprintf("%13s", "")
    printf "  %-34s %6.2f s %s  CPU %5.2f s (%5.2f s/GiB)  peak RSS %6.1f MiB  [%s]\n",
      t, w, rate, c, c / gib, rss, runs
  }'
}
echo "LUN of $GIB GiB ($STRIPES stripes) on $MEMBERS members, each behind nbdkit (rate $RATE bit/s," \
  "burstiness $BURST s) and nbdfuse; medians of $RUNS rounds (every run in brackets)"
row export "export (healthy)" "$BYTES"
row dd "dd of the same data segments" "$DD_BYTES"
row damaged "export ($BAD_PERCENT % bad on 2 members)" "$BYTES"
row map "export --map (healthy)" "$BYTES"
row analyze "analyze alone (healthy)" 0
ratio=$(bench_ratio "$(bench_stat export wall)" "$(bench_stat dd wall)")
echo "  export / dd time: $ratio (goal <= 1.1): $(bench_goal "$ratio" "<=" 1.1)"
ratio=$(bench_ratio "$(bench_stat damaged wall)" "$(bench_stat export wall)")
echo "  damaged / healthy export time: $ratio (goal <= 1.5): $(bench_goal "$ratio" "<=" 1.5)"
lostGoal=$([ "$LOST" = "$LEAST_LOST" ] && echo met || echo MISSED)
echo "  damaged: $bad_pages pages of 4 KiB unreadable; $LOST bytes zero-filled, least possible $LEAST_LOST: $lostGoal"
ratio=$(bench_ratio "$(bench_stat map wall)" "$(bench_stat export wall)")
echo "  --map / without time: $ratio (the checkpoints' target syncs and map writes)"
