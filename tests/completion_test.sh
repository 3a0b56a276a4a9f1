#!/usr/bin/env bash
# corvane-cli's bash completion: what it offers for a command line typed so
# far (a trailing space starts a new word).
# Usage: completion_test.sh COMPLETION_FILE
set -u
export LC_ALL=C
# shellcheck source=/dev/null
source "${1:?usage: completion_test.sh COMPLETION_FILE}"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
touch member0.img member1.img lun.map
mkdir images

fail=0
check() {
  local line=$1 want=$2 got
  read -ra COMP_WORDS <<<"$line"
  if [[ $line == *" " ]]; then COMP_WORDS+=(""); fi
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _corvane_cli
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' ')
  if [[ $got != "$want" ]]; then
    echo "FAIL '$line': offered '$got', want '$want'"
    fail=1
  fi
}

check "corvane-cli "                     "--help --help-all --version analyze drives export mount verify"
check "corvane-cli e"                    "export"
check "corvane-cli --version an"         "analyze"
check "corvane-cli drives "              "--help"
check "corvane-cli analyze -"            "--help --json --no-content --verbose -v"
check "corvane-cli analyze m"            "member0.img member1.img"
check "corvane-cli analyze --json member0.img i" "images"
check "corvane-cli export --"            "--console --exclude --force --hash --help --json --lun --map --offset-sectors --progress --quiet --restart --resume --retry-bad --sparse --strict --to --verify"
check "corvane-cli export --hash s"      "sha1 sha256"
check "corvane-cli export member0.img --lun " ""
check "corvane-cli export --offset-sectors " ""
check "corvane-cli export --to l"        "lun.map"
check "corvane-cli export --lun 1:1 --map " "images lun.map member0.img member1.img"
check "corvane-cli export --lun 1:1 m"   "member0.img member1.img"
check "corvane-cli mount -"              "--cache-mib --exclude --foreground --help --lun --zero-fill -f"
check "corvane-cli mount member0.img --lun " ""
check "corvane-cli mount member0.img i"   "images"
check "corvane-cli verify --e"           "--exclude"
check "corvane-cli verify --exclude m"   "member0.img member1.img"
check "corvane-cli nosuch "              ""
if ((fail == 0)); then echo ok; fi
exit $fail
