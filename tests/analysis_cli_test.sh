#!/usr/bin/env bash
# corvane-cli analyze on a generated group, as a user runs it: the LUN list
# byte for byte, the JSON keys, a short-coverage mark, and the exit status
# and text of a failed analysis.
set -euo pipefail
CLI=$1
MKSAMPLE=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$MKSAMPLE" --out "$work/g" --members 6 --lun-stripes 3,5,1 >/dev/null
members=("$work"/g/member{0..5}.img)

got=$("$CLI" analyze "${members[@]}")
want=$(printf '0\t0\t0G\n0\t1\t0G\n0\t2\t0G')
[ "$got" = "$want" ] || fail "LUN list: got [$got] want [$want]"

verbose=$("$CLI" analyze --verbose "${members[@]}")
for part in "Members:" "Member map:" "  row 1: 0=member 0 (disk id 0)" "Missing slots: none" "Notes: none" "LUNs:"; do
  grep -qF -- "$part" <<<"$verbose" || fail "verbose output lacks [$part]"
done
[ "$(tail -n 3 <<<"$verbose")" = "$want" ] || fail "verbose output must end with the LUN list"

json=$("$CLI" analyze --json "${members[@]}")
for key in '"luns"' '"members"' '"missingSlots"' '"coveredBytes": 25165824' '"declaredBytes": 25165824' '"stripes": 5'; do
  grep -qF -- "$key" <<<"$json" || fail "JSON lacks $key"
done

# A LUN declared larger than its stripes: marked, with both sizes.
cat >"$work/group.json" <<'JSON'
{ "healthy": { "members": 5, "lunStripes": [] },
  "luns": [ { "stripes": 2, "capacitySectors": 4194304 } ] }
JSON
"$MKSAMPLE" --out "$work/s" --group "$work/group.json" >/dev/null
got=$("$CLI" analyze "$work"/s/member{0..4}.img)
want=$(printf '0\t0\t2G\tshort coverage: 16777216 of 2147483648 bytes')
[ "$got" = "$want" ] || fail "short coverage: got [$got] want [$want]"

# Stray sources (a blank disk and a foreign one carrying member 2's id) leave
# the list as it is, with a warning each on stderr and in the JSON, verbose
# or not.
cat >"$work/stray.json" <<'JSON'
{ "healthy": { "members": 6, "lunStripes": [3, 5, 1] },
  "members": [ {"diskId": 0}, {"diskId": 1}, {"diskId": 2}, {"diskId": 3}, {"diskId": 4}, {"diskId": 5},
               {"content": "blank"}, {"content": "foreign", "diskId": 2} ] }
JSON
"$MKSAMPLE" --out "$work/t" --group "$work/stray.json" >/dev/null
strays=("$work"/t/member{0..7}.img)
want=$(printf '0\t0\t0G\n0\t1\t0G\n0\t2\t0G')
got=$("$CLI" analyze "${strays[@]}" 2>"$work/err")
[ "$got" = "$want" ] || fail "strays: got [$got] want [$want]"
grep -qF "warning: $work/t/member6.img carries disk id 0, as does the tagged member $work/t/member0.img" "$work/err" ||
  fail "strays: no warning for the blank source: $(cat "$work/err")"
grep -qF "warning: $work/t/member7.img carries disk id 2" "$work/err" || fail "strays: no warning for the foreign source"
json=$("$CLI" analyze --json "${strays[@]}" 2>/dev/null)
for key in '"warnings"' '"kind": "diskIdCollision"' "\"source\": \"$work/t/member7.img\""; do
  grep -qF -- "$key" <<<"$json" || fail "strays: JSON lacks $key"
done

# A FIFO among the sources is refused at once, naming it.
mkfifo "$work/pipe"
set +e
timeout 20 "$CLI" analyze "${members[0]}" "$work/pipe" >/dev/null 2>"$work/err"
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "FIFO: exit status $rc"
grep -qF "Open Device Failed! (cannot open $work/pipe: it is a FIFO" "$work/err" || fail "FIFO: stderr $(cat "$work/err")"

# Failures: the code's text on stderr, the code as exit status.
set +e
"$CLI" analyze "${members[0]}" "$work/none.img" >"$work/out" 2>"$work/err"
rc=$?
set -e
[ "$rc" -eq 1 ] || fail "missing source: exit status $rc"
grep -q "^Open Device Failed!" "$work/err" || fail "missing source: stderr $(cat "$work/err")"
[ ! -s "$work/out" ] || fail "missing source: stdout not empty"

set +e
"$CLI" analyze "${members[1]}" "${members[2]}" >/dev/null 2>"$work/err"
rc=$?
set -e
[ "$rc" -eq 4 ] || fail "no RAID information: exit status $rc"
grep -q "^Can Not Find Eva Raid Infomation!" "$work/err" || fail "no RAID information: stderr $(cat "$work/err")"
echo "ok"
