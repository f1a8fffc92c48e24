#!/usr/bin/env bash
# Only the window and its widgets (and their tests) may include Qt: the core
# and everything below it must build and link without a GUI toolkit.
set -euo pipefail
cd "$1"
found=$(grep -rlE '^\s*#\s*include\s*[<"]Q[A-Za-z]*[>"/]|^\s*#\s*include\s*[<"]Qt[A-Za-z]*/' \
    --include='*.h' --include='*.cpp' \
    common core songlist convert device platform cli bench fuzz tests/support tests/common tests/core \
    tests/songlist tests/convert tests/device tests/platform tests/cli || true)
if [[ -n $found ]]; then
    echo "Qt headers included outside window/ and widgets/:"
    echo "$found"
    exit 1
fi
