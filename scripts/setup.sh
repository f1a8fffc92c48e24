#!/usr/bin/env bash
# Shared by run.sh and test.sh: install what is missing from Debian's packages,
# then configure and build one tree. Usage: scripts/setup.sh BUILD_DIR [cmake args...]
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$1
shift

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev
  libmad0-dev libmp3lame-dev
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
  libebur128-dev nettle-dev
  qt6-base-dev libgl-dev fonts-liberation
  libcli11-dev nlohmann-json3-dev libtag1-dev
  gettext qt6-translations-l10n
  sox libsox-fmt-mp3 lame ffmpeg mpg123 id3v2
  time bc
  xvfb xauth
  desktop-file-utils appstream man-db groff-base bash-completion dpkg-dev lintian
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 ]]; then
    echo "Installing from Debian: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  else
    echo "Some packages are missing. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

cmake -S "$top" -B "$top/$build_dir" "$@"
cmake --build "$top/$build_dir" -j"$(nproc)"
