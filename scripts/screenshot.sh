#!/usr/bin/env bash
# Draws docs/velmo-window.png: the window as it opens, with a two-song list
# left by an earlier run, on Qt's offscreen platform (no display needed),
# against a simulated clock in a temporary folder.
# Usage: scripts/screenshot.sh [BUILD_DIR]   (default: build)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$top/build}
[[ $build == /* ]] || build=$top/$build

cmake --build "$build" --target velmo-screenshot -j2
songs=$(mktemp -d)
trap 'rm -rf "$songs"' EXIT
cp "$top/tests/data/l3_44100_cbr128_stereo.mp3" "$songs/Morning Walk.mp3"
cp "$top/tests/data/wav_pcm16_stereo.wav" "$songs/Sunrise Chime.wav"
mkdir -p "$top/docs"
QT_QPA_PLATFORM=offscreen "$build/bin/velmo-screenshot" "$top/docs/velmo-window.png" \
  "$songs/Morning Walk.mp3" "$songs/Sunrise Chime.wav"
echo "wrote docs/velmo-window.png"
