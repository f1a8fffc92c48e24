#!/usr/bin/env bash
# The front ends (the terminal's velmo-cli and the Qt window) speak only to
# the core: no file of theirs includes a header of the conversion, the device
# layer or the platform stand-ins, so that nothing there can go around the
# core's operations.
set -euo pipefail
cd "$1"
headers=$(find convert device platform -name '*.h' -printf '%f\n' | sort -u)
found=""
for file in $(find cli window -name '*.cpp' -o -name '*.h'); do
    while IFS= read -r included; do
        if grep -qxF "$included" <<<"$headers"; then
            found+="$file includes $included"$'\n'
        fi
    done < <(sed -nE 's/^\s*#\s*include\s*"([^"]+)".*/\1/p' "$file" | xargs -r -n1 basename)
done
if [[ -n $found ]]; then
    echo "Front ends include headers of convert/, device/ or platform/:"
    printf '%s' "$found"
    exit 1
fi
