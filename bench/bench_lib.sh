# shellcheck shell=bash
# Shared by the benchmark scripts (sourced, not run). The caller sets
# BENCH_NAME (for messages) and BENCH_LOGS (a directory for time and
# output logs).

: "${BENCH_NAME:=bench}"
BENCH_TIME=/usr/bin/time

# One timed run of a command: prints "wall user sys maxrss_kib". Dirty
# pages of earlier runs are flushed first, so no command pays for
# another's writes. The command's standard output goes to
# $BENCH_LOGS/stdout.log (kept for the caller), its error output to
# $BENCH_LOGS/stderr.log; a failure ends the benchmark with both shown.
bench_timed() {
  local log="$BENCH_LOGS/time.log"
  sync
  "$BENCH_TIME" -f "%e %U %S %M" -o "$log" "$@" >"$BENCH_LOGS/stdout.log" 2>"$BENCH_LOGS/stderr.log" || {
    echo "$BENCH_NAME: '$*' failed:" >&2
    tail -n 20 "$BENCH_LOGS/stdout.log" "$BENCH_LOGS/stderr.log" >&2
    exit 1
  }
  tail -n 1 "$log"
}

# The median of the numbers on standard input, one a line.
bench_median() {
  sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Results of round-robin runs, kept per label:
#   bench_record LABEL "wall user sys maxrss"
#   bench_stat LABEL wall|cpu|rss   -> median (seconds; CPU = user + sys; RSS in MiB)
declare -A BENCH_WALL=() BENCH_CPU=() BENCH_RSS=()
bench_record() {
  local label=$1 w u s m
  read -r w u s m <<<"$2"
  BENCH_WALL[$label]+="$w "
  BENCH_CPU[$label]+="$(awk -v u="$u" -v s="$s" 'BEGIN { print u + s }') "
  BENCH_RSS[$label]+="$(awk -v m="$m" 'BEGIN { print m / 1024 }') "
}
bench_stat() {
  local values
  case $2 in
  wall) values=${BENCH_WALL[$1]} ;;
  cpu) values=${BENCH_CPU[$1]} ;;
  rss) values=${BENCH_RSS[$1]} ;;
  esac
  # shellcheck disable=SC2086
  printf '%s\n' $values | bench_median
}
# Every run of a label, for the record: "4.51 4.48 4.60".
bench_runs() {
  echo "${BENCH_WALL[$1]% }"
}

# a / b, to two places.
bench_ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'
}

# "met" when the comparison holds ("<=" or ">="), "MISSED" otherwise.
bench_goal() {
  awk -v v="$1" -v op="$2" -v g="$3" 'BEGIN { ok = (op == "<=") ? (v <= g) : (v >= g); print ok ? "met" : "MISSED" }'
}

# Ends the benchmark (exit 2) unless every given tool can be run: a path
# must be an executable file, a bare name must be on PATH.
bench_need() {
  local tool
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null; then
      echo "$BENCH_NAME: $tool is missing" >&2
      exit 2
    fi
  done
}

# bench_sample PARAMS COMMAND...: (re)makes the group in $GROUP with
# COMMAND unless $GROUP/params says it was made with PARAMS, so a run with
# other sizes does not time the data of the last one.
bench_sample() {
  local params=$1 stamp="$GROUP/params"
  shift
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$params" ]; then
    rm -rf "$GROUP"
    echo "generating $params into $GROUP ..."
    "$@"
    echo "$params" >"$stamp"
  fi
}

# A healthy group of $MEMBERS members with one LUN of $STRIPES stripes of
# 8 MiB in $DATA/group (kept while those two stay the same). Sets GROUP,
# BENCH_LOGS (= $DATA), BYTES (the LUN's size) and GIB.
bench_healthy_group() {
  mkdir -p "$DATA"
  BENCH_LOGS="$DATA"
  GROUP="$DATA/group"
  bench_sample "members=$MEMBERS stripes=$STRIPES" bench_mksample_healthy
  BYTES=$((STRIPES * 8388608))
  # shellcheck disable=SC2034 # for the caller
  GIB=$(bench_gib "$BYTES")
}
bench_mksample_healthy() {
  "$MKSAMPLE" --out "$GROUP" --members "$MEMBERS" --lun-stripes "$STRIPES" --seed 7 >/dev/null
}

# A value of the group's manifest.json, by key: bench_manifest sha256.
bench_manifest() {
  awk -v key="\"$1\":" '$1 == key { gsub(/[",]/, "", $2); print $2; exit }' "$GROUP/manifest.json"
}

# Bytes as GiB, to six places.
bench_gib() {
  awk -v b="$1" 'BEGIN { printf "%.6f", b / 1073741824 }'
}

# Reads the given files once, so the timed runs find them in the page cache.
bench_warm() {
  cat "$@" >/dev/null
}

# ALL: the member images of $GROUP ($MEMBERS of them); DEGRADED: the same
# but member 1 (member 0 holds the tables).
bench_members() {
  local i
  ALL=()
  for ((i = 0; i < MEMBERS; i++)); do ALL+=("$GROUP/member$i.img"); done
  # shellcheck disable=SC2034 # for the caller
  DEGRADED=("${ALL[@]}")
  unset 'DEGRADED[1]'
}
