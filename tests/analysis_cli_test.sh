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
want=$(printf '0\t0\t0G\tnothing recognised\n0\t1\t0G\tnothing recognised\n0\t2\t0G\tnothing recognised')
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
got=$("$CLI" analyze --no-content "$work"/s/member{0..4}.img)
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
got=$("$CLI" analyze --no-content "${strays[@]}" 2>"$work/err")
[ "$got" = "$want" ] || fail "strays: got [$got] want [$want]"
grep -qF "warning: $work/t/member6.img carries disk id 0, as does the tagged member $work/t/member0.img" "$work/err" ||
  fail "strays: no warning for the blank source: $(cat "$work/err")"
grep -qF "warning: $work/t/member7.img carries disk id 2" "$work/err" || fail "strays: no warning for the foreign source"
json=$("$CLI" analyze --json "${strays[@]}" 2>/dev/null)
for key in '"warnings"' '"kind": "diskIdCollision"' "\"source\": \"$work/t/member7.img\""; do
  grep -qF -- "$key" <<<"$json" || fail "strays: JSON lacks $key"
done

# What a LUN holds: an MBR with an ext4 partition and a FAT one (a logical
# partition, so the extended boot record past the LUN's head is followed),
# named with their labels and UUIDs, also with a member left out (rebuilt
# from parity); a LUN of zeros holds nothing.
for tool in sfdisk mkfs.ext4 mkfs.vfat; do
  PATH=$PATH:/usr/sbin:/sbin command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps test)"
done
export PATH=$PATH:/usr/sbin:/sbin
truncate -s 48M "$work/lun.img"
printf 'label: dos\nstart=2048, size=30720, type=83\nstart=32768, size=61440, type=5\nstart=34816, size=20480, type=c\n' |
  sfdisk -q "$work/lun.img"
mkfs.ext4 -q -F -L ROOTFS -U 0b2b1e8e-8d1e-4a4e-9a5e-2f6d3a1c7b10 -E offset=$((2048 * 512)) "$work/lun.img" 15M
mkfs.vfat -n DATAVOL -i 1234ABCD --offset 34816 "$work/lun.img" 10240 >/dev/null 2>&1
: >"$work/empty.bin" # the second LUN: one stripe of zeros
cat >"$work/content.json" <<'JSON'
{ "healthy": { "members": 6 }, "luns": [ {}, { "dataFile": "empty.bin" } ] }
JSON
"$MKSAMPLE" --out "$work/p" --group "$work/content.json" --lun-data "$work/lun.img" >/dev/null
want=$(printf '0\t0\t0G\tdos partition table %s, 3 partitions: 1 (start 1048576, size 15728640, type 0x83) ext4 label "ROOTFS" uuid 0b2b1e8e-8d1e-4a4e-9a5e-2f6d3a1c7b10; 2 (start 16777216, size 31457280, type 0x05) extended; 5 (start 17825792, size 10485760, type 0x0c) vfat label "DATAVOL" uuid 1234-ABCD\n0\t1\t0G\tnothing recognised' \
  "$(sfdisk --disk-id "$work/lun.img" | sed 's/^0x//')")
for drop in none 2; do
  sources=()
  for i in 0 1 2 3 4 5; do [ "$i" = "$drop" ] || sources+=("$work/p/member$i.img"); done
  got=$("$CLI" analyze "${sources[@]}")
  [ "$got" = "$want" ] || fail "content (member $drop left out): got [$got] want [$want]"
done
json=$("$CLI" analyze --json "$work"/p/member{0..5}.img)
for key in '"content": {' '"table": {' '"type": "dos"' '"label": "ROOTFS"' '"label": "DATAVOL"' '"uuid": "1234-ABCD"' \
  '"type": "vfat"' '"start": 17825792' '"recognised": false' '"lostBytes": 0'; do
  grep -qF -- "$key" <<<"$json" || fail "content JSON lacks $key"
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
