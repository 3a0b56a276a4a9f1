#!/usr/bin/env bash
# Every text of the desktop program has its English translation: lupdate
# run over ui/ against a copy of the catalogue finds no text without one.
# Usage: ui_translations_test.sh LUPDATE SOURCE_DIR
set -euo pipefail
LUPDATE=$1
ROOT=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cp "$ROOT/ui/translations/corvane_en.ts" "$WORK/corvane_en.ts"
# -I: the parser reads the headers, so contexts carry the namespace (as
# the update_translations target writes them).
"$LUPDATE" -silent -no-obsolete -locations none -source-language zh_CN -target-language en \
  -I "$ROOT" "$ROOT/ui" -ts "$WORK/corvane_en.ts" >/dev/null 2>&1
untranslated=$(grep -c 'type="unfinished"' "$WORK/corvane_en.ts" || true)
if [ "$untranslated" != 0 ]; then
  echo "texts without an English translation: $untranslated"
  grep -B1 'type="unfinished"' "$WORK/corvane_en.ts" | grep '<source>' || true
  exit 1
fi
echo "ok: $(grep -c '<message>' "$WORK/corvane_en.ts") texts translated"
