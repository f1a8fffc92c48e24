#!/usr/bin/env bash
# The conversion benchmark: ten 3-minute songs (five 128 kbit/s stereo MP3s and
# five 16-bit stereo WAVs at 44100 Hz, made with sox and lame) converted at
# quality Good by our conversion job, then by ffmpeg one after the other to the
# same format; prints the ratio of wall times. Then one 60-minute WAV, for the
# peak resident memory. Usage: bench/convert/run.sh [BUILD_DIR] (default build)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$top/build}
bench=$build/bin/convert_bench
[[ -x $bench ]] || { echo "build convert_bench first: cmake --build $build --target convert_bench" >&2; exit 1; }
for tool in sox lame ffmpeg; do
  command -v $tool >/dev/null || { echo "$tool is needed" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/dat" "$work/ffmpeg"

echo "Making ten 3-minute songs in $work ..."
songs=()
for i in 0 1 2 3 4 5 6 7 8 9; do
  f1=$((220 + 37 * i)); f2=$((330 + 53 * i))
  # Two tones in motion over pink noise: something the encoder has to work at.
  sox -q -n -r 44100 -b 16 -c 2 "$work/gen$i.wav" synth 180 sine $f1-$((f1 * 2)) sine $f2 pinknoise \
      remix 1,2v0.3,3v0.2 2,3v0.3 gain -3
  if ((i % 2 == 0)); then
    lame --quiet -b 128 "$work/gen$i.wav" "$work/dat/song$i.mp3"
    rm "$work/gen$i.wav"
    songs+=("song$i.mp3")
  else
    mv "$work/gen$i.wav" "$work/dat/song$i.wav"
    songs+=("song$i.wav")
  fi
done
sync

# Warm the page cache for both sides alike.
cat "$work"/dat/* > /dev/null

echo "Our conversion (quality Good):"
ours_out=$(/usr/bin/time -f "cpu %U %S" -o "$work/ours.cpu" "$bench" "$work" 4 65536 "${songs[@]}")
echo "  $ours_out"
ours=$(sed -E 's/.*wall ([0-9.]+) s.*/\1/' <<< "$ours_out")
ours_cpu=$(awk '/^cpu/ {print $2 + $3}' "$work/ours.cpu")

echo "ffmpeg, one song after the other:"
start=$(date +%s.%N)
theirs_cpu=0
for s in "${songs[@]}"; do
  /usr/bin/time -f "cpu %U %S" -o "$work/ffmpeg.cpu" \
    ffmpeg -nostdin -loglevel error -y -i "$work/dat/$s" -ac 1 -ar 44100 -c:a libmp3lame -b:a 32k \
           -compression_level 2 -reservoir 0 "$work/ffmpeg/${s%.*}.mp3"
  theirs_cpu=$(awk -v t="$theirs_cpu" '/^cpu/ {print t + $2 + $3}' "$work/ffmpeg.cpu")
done
end=$(date +%s.%N)
theirs=$(echo "$end - $start" | bc -l)
printf "  wall %.3f s  cpu %.2f s\n" "$theirs" "$theirs_cpu"
printf "Ratio of wall times ours / ffmpeg: %.3f (target at most 1.0, wanted 0.9)\n" "$(echo "$ours / $theirs" | bc -l)"
printf "Ratio of CPU times ours / ffmpeg: %.3f (ours %.2f s; less sensitive to a busy machine)\n" \
  "$(echo "$ours_cpu / $theirs_cpu" | bc -l)" "$ours_cpu"
echo "Load average now: $(cut -d' ' -f1-3 /proc/loadavg)"

rm -f "$work"/dat/* "$work"/ffmpeg/*
echo "Making a 60-minute 16-bit stereo WAV ..."
sox -q -n -r 44100 -b 16 -c 2 "$work/dat/hour.wav" synth 3600 sine 300-900 pinknoise remix 1,2v0.2 1,2v0.2 gain -3
echo "Our conversion of the 60-minute WAV (quality Good):"
echo "  $("$bench" "$work" 4 65536 hour.wav)"
echo "Peak resident memory target: under 64 MiB"
