#!/usr/bin/env bash
# Writes the message template: every text marked in the programs' sources
# (tr_, trn_, N_), and the menu entry's and the AppStream description's texts.
# Sorted and with file names only, no line numbers, so that the template
# changes only when a text does.
# Usage: po/make_pot.sh SOURCE_DIR OUT
set -euo pipefail
src=$1
out=$2
cd "$src"
mapfile -t sources < <(find cli common core present songlist convert device platform widgets window \
  -name '*.cpp' -o -name '*.h' | LC_ALL=C sort)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
common=(--from-code=UTF-8 --add-location=file --sort-output --package-name=velmo
  --msgid-bugs-address=velmo@example.org --copyright-holder="The Velmo developers")
xgettext "${common[@]}" --language=C++ --keyword= --keyword=tr_ --keyword=trn_:1,2 --keyword=N_ \
  --flag=tr_:1:pass-c-format --flag=format:1:c-format --add-comments=TRANSLATORS: \
  -o "$tmp/code.pot" "${sources[@]}"
xgettext "${common[@]}" --join-existing -o "$tmp/code.pot" res/org.velmo.velmo.desktop res/org.velmo.velmo.metainfo.xml
sed '/^"POT-Creation-Date: /d' "$tmp/code.pot" >"$out"
