#!/usr/bin/env bash
# The programs load libraries only from known places. Every ELF file under
# the given folders (the build tree's bin/, an installed tree) is read with
# readelf: no RPATH or RUNPATH entry may be empty or relative (the loader
# takes either as the current folder, or a folder below it), and the programs
# and private libraries that are installed carry only $ORIGIN-based entries.
# Then a library named like one velmo-cli needs is planted in the folder
# velmo-cli runs in: its constructor must never run.
# Usage: tests/runpath_check.sh VELMO_CLI FOLDER...
set -euo pipefail
cli=$1
shift
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
shipped='^(velmo|velmo-cli|zentro-sim|libusb_dll\.so|liblame_enc\.so)$'
checked=0
while IFS= read -r -d '' file; do
  [[ $(head -c4 "$file" | od -An -c | tr -d ' ') == 177ELF ]] || continue
  checked=$((checked + 1))
  paths=$(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')
  while IFS= read -r path; do
    [[ -n $path ]] || continue
    # An empty entry is an empty string between colons, or one at either end.
    IFS=: read -r -a entries <<<"$path:"
    [[ $path != :* && $path != *: && $path != *::* ]] || fail "$file: run path '$path' has an empty entry"
    for entry in "${entries[@]}"; do
      case $entry in
        '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
        /*)
          [[ ! $(basename "$file") =~ $shipped ]] || fail "$file: run path entry '$entry' is not \$ORIGIN-based"
          ;;
        *) fail "$file: run path entry '$entry' is relative" ;;
      esac
    done
  done <<<"$paths"
done < <(find "$@" -type f -print0)
((checked > 0)) || fail "no ELF file under $*"

# The planted library: named like one of velmo-cli's own, with a constructor
# that leaves a mark.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
needed=$(readelf -d "$cli" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
[[ -n $needed ]] || fail "$cli needs no library"
cat >"$scratch/planted.c" <<'C'
#include <stdio.h>
__attribute__((constructor)) static void planted(void) {
    FILE* f = fopen("planted-library-ran", "w");
    if (f) fclose(f);
}
C
cc -shared -fPIC -o "$scratch/planted.so" "$scratch/planted.c" || fail "cannot build the planted library"
# The C and C++ run-time libraries are left out: a planted one would break
# the program before any constructor could run. libmad first, where the
# problem was found; each in a folder of its own.
planted=0
for name in $(grep -x 'libmad\.so.*' <<<"$needed"; grep -vxE 'libmad\.so.*|(libc|libm|libdl|libpthread|librt|libgcc_s|libstdc\+\+|ld-linux.*)\.so.*' <<<"$needed"); do
  ((planted < 3)) || break
  planted=$((planted + 1))
  start=$scratch/start$planted
  mkdir "$start"
  cp "$scratch/planted.so" "$start/$name"
  (cd "$start" && "$cli" status >/dev/null 2>&1) || true
  (cd "$start" && "$cli" list >/dev/null 2>&1) || true
  [[ ! -e $start/planted-library-ran ]] || fail "velmo-cli loaded $name from the folder it ran in"
done
((planted > 0)) || fail "$cli needs no library that could be planted"
echo "runpath: $checked ELF files checked"
