#!/usr/bin/env bash
# The catalogues against the sources: po/velmo.pot holds exactly the texts the
# sources mark (a text added or changed without `cmake --build build --target
# pot` fails here), and every language in po/LINGUAS translates each of them,
# none fuzzy, with the placeholders of the English text.
# Usage: tests/po_check.sh SOURCE_DIR
set -euo pipefail
source=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0

"$source/po/make_pot.sh" "$source" "$scratch/velmo.pot"
if ! diff -u "$source/po/velmo.pot" "$scratch/velmo.pot" >"$scratch/pot.diff"; then
  echo "FAIL: po/velmo.pot is out of date (cmake --build build --target pot):"
  grep -E '^[-+]msgid' "$scratch/pot.diff" || cat "$scratch/pot.diff"
  status=1
fi
while read -r lang; do
  [[ -n $lang ]] || continue
  # msgcmp counts an untranslated or fuzzy message as missing.
  if ! msgcmp "$source/po/$lang.po" "$scratch/velmo.pot" 2>"$scratch/cmp"; then
    echo "FAIL: po/$lang.po misses messages:"
    cat "$scratch/cmp"
    status=1
  fi
  if ! msgfmt --check -o /dev/null "$source/po/$lang.po" 2>"$scratch/fmt"; then
    echo "FAIL: po/$lang.po:"
    cat "$scratch/fmt"
    status=1
  fi
done <"$source/po/LINGUAS"
exit $status
