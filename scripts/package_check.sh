#!/usr/bin/env bash
# Builds the Debian package from a build tree, has lintian check it, and tries
# it as a user would:
# unpacked into a scratch root, the installed velmo-cli adds a song and
# downloads it to a simulated clock from an empty folder. With --system (as
# root, on a machine of its own such as CI) the package is also installed with
# apt-get, used from the PATH, and purged again, leaving none of its files.
# Usage: scripts/package_check.sh [BUILD_DIR] [--system]
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$top/build}
[[ $build == /* ]] || build=$top/$build
system=${2:-}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "package check: $*" >&2
  exit 1
}

(cd "$build" && cpack -G DEB -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/velmo_*.deb)
echo "built $(basename "$deb")"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# From the shared libraries the programs link (dpkg-shlibdeps).
for lib in libqt6widgets6 libmp3lame0 libmad0 libc6; do
  [[ $depends == *"$lib "* || $depends == *"$lib," || $depends == *"$lib" ]] || fail "no dependency on $lib"
done

# Debian's own check of the package: any error or warning fails (the
# package's overrides, each with its reason, are in docs/lintian-overrides).
command -v lintian >/dev/null || fail "lintian is missing (scripts/setup.sh installs it)"
lint=$(lintian --no-cfg --fail-on error,warning "$deb" 2>&1) || fail "lintian: $lint"
echo "lintian: no error, no warning"

# A song, and a simulated clock of the check's own, without the link delay.
cp "$top/tests/data/l3_44100_cbr128_stereo.mp3" "$scratch/Morning Walk.mp3"
try_programs() { # BIN_DIR: the installed programs, run from an empty folder
  local bin=$1 work=$scratch/work-$RANDOM
  export ZENTRO_SIM_DIR=$scratch/sim-$RANDOM
  # Without --dir velmo-cli keeps its list in the user's data folder.
  export XDG_DATA_HOME=$scratch/data-$RANDOM
  mkdir -p "$work"
  "$bin/velmo-cli" --version
  "$bin/velmo" --version
  "$bin/zentro-sim" delay off >/dev/null
  (cd "$work" && "$bin/velmo-cli" add "$scratch/Morning Walk.mp3" >/dev/null)
  (cd "$work" && "$bin/velmo-cli" download --yes --verify 2>/dev/null) || fail "the download failed"
  "$bin/zentro-sim" header | grep -q "Morning Walk" || fail "the song is not on the clock"
  # The package's catalogues: velmo-cli in German.
  (cd "$work" && LANG=C.UTF-8 LANGUAGE=de "$bin/velmo-cli" list) | grep -qxF "Qualität: Gut (4)" ||
    fail "velmo-cli does not speak German from the package"
  [[ -f $XDG_DATA_HOME/velmo/zt_hdr.tbl && ! -e $XDG_DATA_HOME/velmo/spn.bin && -z $(ls -A "$work") ]] ||
    fail "the start folder is not as expected"
}

root=$scratch/root
dpkg -x "$deb" "$root"
try_programs "$root/usr/bin"
echo "unpacked into a scratch root: the installed programs work"

if [[ $system == --system ]]; then
  [[ $(id -u) -eq 0 ]] || fail "--system needs root"
  dpkg-query -W velmo >/dev/null 2>&1 && fail "velmo is already installed here"
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}')
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null
  try_programs /usr/bin
  [[ $(command -v velmo-cli) == /usr/bin/velmo-cli ]] || fail "velmo-cli is not on the PATH"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velmo >/dev/null
  dpkg-query -W velmo >/dev/null 2>&1 && fail "velmo is still known to dpkg"
  while IFS= read -r f; do [[ ! -e $f ]] || fail "left behind: $f"; done <<<"$files"
  [[ ! -e /usr/lib/velmo ]] || fail "left behind: /usr/lib/velmo"
  echo "installed with apt-get, used from the PATH and purged without a trace"
fi
