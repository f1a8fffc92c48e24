#!/usr/bin/env bash
# The decoding benchmark. Makes a 3-minute 128 kbit/s stereo MP3 and 32 songs
# to probe with sox and lame in a temporary folder, then times (best of three
# runs, whole processes, warm page cache):
#   our decoding to 16-bit mono PCM   vs  ffmpeg -i song.mp3 -f s16le -ac 1 out.raw
#   our probe of the 32 songs         vs  ffprobe run on each of the 32 songs
# and prints the ratios. Targets: decoding within 1.5 x ffmpeg's time, probing
# under a tenth of ffprobe's. Usage: bench/decode/run.sh [BUILD_DIR] (default
# build; use a Release build).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
bench=$build/bin/decode_bench
[[ -x $bench ]] || { echo "build decode_bench first: cmake --build $build --target decode_bench" >&2; exit 1; }
for tool in sox lame ffmpeg ffprobe; do
  command -v $tool >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-bench-decode-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "Making the songs in $work ..."
# Two tones in motion over pink noise, 3 minutes, stereo.
sox -q -n -r 44100 -b 16 -c 2 "$work/src.wav" synth 180 sine 220-440 sine 330 pinknoise \
    remix 1,2v0.3,3v0.2 2,3v0.3 gain -3
lame --quiet -b 128 "$work/src.wav" "$work/song.mp3"
# 32 songs of the kinds admission meets: constant bit rate with LAME's Info
# frame, VBR with a Xing frame, MPEG-2, and an ID3v2 tag in front.
sox -q "$work/src.wav" -r 22050 "$work/src22.wav"
lame --quiet -b 128 "$work/src.wav" "$work/kind0.mp3"
lame --quiet -V 2 "$work/src.wav" "$work/kind1.mp3"
lame --quiet -t -b 64 "$work/src22.wav" "$work/kind2.mp3"
lame --quiet -b 192 --tt "A song" --ta "An artist" --id3v2-only --pad-id3v2-size 4096 "$work/src.wav" "$work/kind3.mp3"
rm "$work/src.wav" "$work/src22.wav"
probes=()
for i in $(seq 0 31); do
  cp "$work/kind$((i % 4)).mp3" "$work/probe$i.mp3"
  probes+=("$work/probe$i.mp3")
done
cat "$work"/*.mp3 > /dev/null

# Best wall time of three runs of a command, in seconds.
best_of_3() {
  local best= t0 t1 t
  for _ in 1 2 3; do
    t0=$(date +%s.%N)
    "$@" > /dev/null 2>&1
    t1=$(date +%s.%N)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f", b - a }')
    if [[ -z $best ]] || awk -v t="$t" -v b="$best" 'BEGIN { exit !(t < b) }'; then best=$t; fi
  done
  echo "$best"
}
ffprobe_all() {
  for f in "${probes[@]}"; do
    ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$f"
  done
}

"$bench" decode "$work/song.mp3" "$work/ours.raw"
ffmpeg -v error -y -i "$work/song.mp3" -f s16le -ac 1 "$work/ffmpeg.raw"
echo "PCM bytes: ours $(stat -c %s "$work/ours.raw"), ffmpeg $(stat -c %s "$work/ffmpeg.raw")"
"$bench" probe "${probes[@]}"

ours_decode=$(best_of_3 "$bench" decode "$work/song.mp3" "$work/ours.raw")
ffmpeg_decode=$(best_of_3 ffmpeg -v error -y -i "$work/song.mp3" -f s16le -ac 1 "$work/ffmpeg.raw")
ours_probe=$(best_of_3 "$bench" probe "${probes[@]}")
ffprobe_probe=$(best_of_3 ffprobe_all)

awk -v o="$ours_decode" -v f="$ffmpeg_decode" \
  'BEGIN { printf "decode 3-minute song: ours %.3f s, ffmpeg %.3f s, ratio %.2f (target <= 1.5)\n", o, f, o / f }'
awk -v o="$ours_probe" -v f="$ffprobe_probe" \
  'BEGIN { printf "probe 32 songs:       ours %.3f s, ffprobe %.3f s, ratio %.3f (target < 0.1)\n", o, f, o / f }'
