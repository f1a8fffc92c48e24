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

# Best of three runs of a command: "WALL CPU" in seconds, CPU being user plus
# system time of the command and its children. On a machine shared with other
# work the CPU time is the steadier figure.
best_of_3() {
  local best_wall= best_cpu= line wall cpu
  for _ in 1 2 3; do
    line=$( { TIMEFORMAT='%R %U %S'; time "$@" > /dev/null 2>&1; } 2>&1 | tail -1)
    wall=$(awk '{ print $1 }' <<<"$line")
    cpu=$(awk '{ printf "%.3f", $2 + $3 }' <<<"$line")
    if [[ -z $best_wall ]] || awk -v t="$wall" -v b="$best_wall" 'BEGIN { exit !(t < b) }'; then best_wall=$wall; fi
    if [[ -z $best_cpu ]] || awk -v t="$cpu" -v b="$best_cpu" 'BEGIN { exit !(t < b) }'; then best_cpu=$cpu; fi
  done
  echo "$best_wall $best_cpu"
}
report() {  # NAME OURS("WALL CPU") THEIRS("WALL CPU") TOOL TARGET
  awk -v n="$1" -v o="$2" -v t="$3" -v tool="$4" -v target="$5" 'BEGIN {
    split(o, a, " "); split(t, b, " ")
    printf "%s: ours %.3f s wall / %.3f s CPU, %s %.3f s wall / %.3f s CPU; ratio %.3f wall, %.3f CPU (target %s)\n",
           n, a[1], a[2], tool, b[1], b[2], a[1] / b[1], a[2] / b[2], target }'
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

report "decode 3-minute song" "$ours_decode" "$ffmpeg_decode" ffmpeg "<= 1.5"
report "probe 32 songs" "$ours_probe" "$ffprobe_probe" ffprobe "< 0.1"
