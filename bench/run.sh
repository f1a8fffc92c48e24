#!/usr/bin/env bash
# Every benchmark of the project in one run, printed as one table: each figure
# of ours beside its peer, their ratio (ours / peer: below 1 is faster), CPU
# time beside wall time (the steadier figure on a shared machine) and the peak
# resident memory of both (GNU time's maximum resident set size).
#
#   decode     a 3-minute 128 kbit/s stereo MP3 to 16-bit mono PCM:
#              decode_bench decode  vs  ffmpeg -f s16le -ac 1         (best of 3)
#   probe      the length of 32 songs:
#              decode_bench probe   vs  ffprobe on each song          (best of 3)
#   probe 60   the length of a 60-minute 128 kbit/s MP3 without a Xing or Info
#              frame, so that every frame header is walked:
#              decode_bench probe   vs  ffprobe                       (best of 3)
#   convert    ten 90-second songs (five MP3, five WAV) at quality Good:
#              velmo-cli image      vs  ffmpeg one song after another
#   convert 6  six songs, one of 190 seconds and five of 40 (three MP3, three
#              WAV), every core converting, each side the best of 3:
#              velmo-cli image      vs  ffmpeg, two processes at once (xargs -P2),
#                                   vs  the floor: our encoder alone on the
#                                       songs' PCM, decoded beforehand, on every
#                                       core (floor_bench encode),
#                                   and vs  ffmpeg one song after another;
#              the same with even volume on (a copy of the folder, velmo-cli
#              volume even)  vs  off, each the best of 3, one after the other
#   long song  one 15-minute WAV at quality Good (the memory figure):
#              velmo-cli image      vs  ffmpeg
#   download   the ten songs into a 4 MiB simulated clock, link delay off:
#              velmo-cli download   vs  velmo-cli image (the conversion alone)
#   reloaded   the ten songs reloaded from that clock into a fresh folder:
#              velmo-cli image      vs  velmo-cli image of the original list
#              (the reloaded songs are in the clock's form: copied)
#   device     4 MiB written and read back through the device layer:
#              device_bench         vs  device_bench --delay (a USB 1.1 link)
#   download 8 eight 45-second songs at quality Best into a 4 MiB clock with the
#              USB 1.1 delay on: velmo-cli download --no-verify  vs  the link's
#              own time for the same image (device_bench --delay's write time,
#              scaled); and the same Download verified (the default) vs the
#              link's write and read time for the image
#   reload 8   the same eight songs reloaded over the USB 1.1 link: each song
#              read twice (no record of a verified Download in the folder,
#              "Check Reload by reading twice" on)  vs  read once (the option
#              off); and in the Download's own folder, where the record of the
#              verified Download spares the second read, vs read once
#   append     one 20-second song appended to a clock of twenty at Best, over
#              the USB 1.1 link: velmo-cli download (the clock holds the
#              last verified Download: what differs is written, the songs
#              unchanged come from the conversion cache)  vs  a full Download
#              of the same list from a fresh folder (target <= 0.25); the two
#              flashes must be byte-identical.
#              VELMO_BENCH_ONLY=append bench/run.sh runs this row alone.
#   32 songs   a download of 32 songs, one of them a 60-minute WAV (the memory
#              figure): velmo-cli download  vs  velmo-cli image of the same list
#
# The folder benchmarks (bench/decode/run.sh, bench/convert/run.sh) give the
# same comparisons in more detail. Use a Release build.
# Usage: bench/run.sh [BUILD_DIR]   (default: build)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
[[ $build == /* ]] || build=$top/$build
bin=$build/bin

for f in velmo-cli zentro-sim decode_bench device_bench floor_bench spn.bin liblame_enc.so libusb_dll.so; do
  [[ -e $bin/$f ]] || { echo "bench: $bin/$f is missing; build it: cmake --build $build -j2" >&2; exit 1; }
done
for tool in sox lame ffmpeg ffprobe /usr/bin/time; do
  command -v $tool >/dev/null || { echo "bench: $tool is needed (scripts/setup.sh installs it)" >&2; exit 1; }
done
grep -q 'CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" 2>/dev/null ||
  echo "bench: note: $build is not a Release build; the figures will be slow" >&2

work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-bench-all-XXXXXX")
trap 'rm -rf "$work"' EXIT
export ZENTRO_SIM_DIR=$work/sim
"$bin/zentro-sim" delay off > /dev/null
"$bin/zentro-sim" storage-code 7 > /dev/null  # 4096 KiB: the ten songs fit at Good
cli=$bin/velmo-cli

# ---------------------------------------------------------------------------
# Measuring

# measure RUNS COMMAND...: the best wall and CPU time (user + system, children
# included) of RUNS runs, and the largest peak resident memory, into
# M_WALL, M_CPU (seconds) and M_RSS (KiB).
measure() {
  local runs=$1 i line wall cpu rss
  shift
  M_WALL= M_CPU= M_RSS=0
  for ((i = 0; i < runs; i++)); do
    if ! /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" "$@" > "$work/out.txt" 2> "$work/err.txt"; then
      echo "bench: failed: $*" >&2
      tail -5 "$work/err.txt" >&2
      exit 1
    fi
    line=$(tail -1 "$work/time.txt")
    read -r wall cpu rss < <(awk '{ printf "%s %.3f %s\n", $1, $2 + $3, $4 }' <<<"$line")
    if [[ -z $M_WALL ]] || awk -v a="$wall" -v b="$M_WALL" 'BEGIN { exit !(a < b) }'; then M_WALL=$wall; fi
    if [[ -z $M_CPU ]] || awk -v a="$cpu" -v b="$M_CPU" 'BEGIN { exit !(a < b) }'; then M_CPU=$cpu; fi
    if ((rss > M_RSS)); then M_RSS=$rss; fi
  done
}

# row FIGURE OURS_WALL OURS_CPU OURS_RSS PEER_WALL PEER_CPU PEER_RSS PEER TARGET
# ("-" for a figure that does not apply)
rows=()
row() {
  local IFS='|'
  rows+=("$*")
}

print_table() {
echo "Velmo benchmarks: $(nproc) CPUs, load average $(cut -d' ' -f1-3 /proc/loadavg), build $build"
printf '%s\n' "${rows[@]}" | awk -F'|' '
  # GNU time counts in hundredths of a second: a zero is "under 0.01 s".
  function secs(x) { return x == "-" ? "-" : (x + 0 == 0 ? "<0.01" : sprintf("%.3f", x)) }
  function ratio(a, b) {
    if (a == "-" || b == "-" || b + 0 == 0) return "-"
    return a + 0 == 0 ? sprintf("<%.3f", 0.01 / b) : sprintf("%.2f", a / b)
  }
  function mib(k) { return k == "-" ? "-" : sprintf("%.1f", k / 1024) }
  BEGIN {
    fmt = "%-40s %9s %9s %6s  %8s %8s %6s  %8s %8s  %-18s %s\n"
    printf fmt, "figure", "ours s", "peer s", "ratio", "ours CPU", "peer CPU", "ratio", "ours MiB", "peer MiB", "peer", "target"
    printf fmt, "------", "------", "------", "-----", "--------", "--------", "-----", "--------", "--------", "----", "------"
  }
  { printf fmt, $1, secs($2), secs($5), ratio($2, $5), secs($3), secs($6), ratio($3, $6), mib($4), mib($7), $8, $9 }'
}

# ---------------------------------------------------------------------------
# Songs (two tones in motion over pink noise: something the coders work at)

echo "Making the songs in $work ..."
mkdir -p "$work/songs" "$work/probe" "$work/ffmpeg"
tone() {  # SECONDS OUT.wav VARIANT
  local f1=$((220 + 37 * $3)) f2=$((330 + 53 * $3))
  sox -q -n -r 44100 -b 16 -c 2 "$2" synth "$1" sine $f1-$((f1 * 2)) sine $f2 pinknoise \
      remix 1,2v0.3,3v0.2 2,3v0.3 gain -3
}
# A clock of twenty 20-second songs at Best, one more appended: the Download
# by the record against a full Download of the same list.
append_bench() {
  echo "Appending one 20-second song to a clock of twenty, over the USB 1.1 link ..."
  local inc=$work/append-inc full=$work/append-full
  mkdir -p "$inc" "$full" "$work/append"
  cp "$bin/spn.bin" "$inc/"
  cp "$bin/spn.bin" "$full/"
  local list=()
  for i in $(seq 0 20); do
    tone 20 "$work/append/a$i.wav" $((i + 40))
    list+=("$work/append/a$i.wav")
  done
  "$bin/zentro-sim" delay off > /dev/null
  "$cli" --dir "$inc" quality best > /dev/null
  "$cli" --dir "$full" quality best > /dev/null
  "$cli" --dir "$inc" add "${list[@]:0:20}" > /dev/null 2>&1
  "$cli" --dir "$inc" download > /dev/null 2>&1 || { echo "bench: the first download failed" >&2; exit 1; }
  "$cli" --dir "$inc" add "${list[20]}" > /dev/null 2>&1
  "$cli" --dir "$full" add "${list[@]}" > /dev/null 2>&1
  "$bin/zentro-sim" delay on > /dev/null
  measure 1 "$cli" --dir "$inc" download
  grep -q '^Verified' "$work/out.txt" || { echo "bench: the appending download did not verify" >&2; exit 1; }
  local o=("$M_WALL" "$M_CPU" "$M_RSS")
  cp "$ZENTRO_SIM_DIR/flash.bin" "$work/append-inc.bin"
  measure 1 "$cli" --dir "$full" download
  grep -q '^Verified' "$work/out.txt" || { echo "bench: the full download did not verify" >&2; exit 1; }
  cmp -s "$ZENTRO_SIM_DIR/flash.bin" "$work/append-inc.bin" ||
    { echo "bench: the two downloads left different flashes" >&2; exit 1; }
  "$bin/zentro-sim" delay off > /dev/null
  row "append 1 song to 20, USB 1.1 (velmo-cli)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "full download" "<= 0.25"
}
if [[ ${VELMO_BENCH_ONLY:-} == append ]]; then
  append_bench
  print_table
  exit 0
fi
tone 180 "$work/src.wav" 0
lame --quiet -b 128 "$work/src.wav" "$work/song.mp3"
sox -q "$work/src.wav" -r 22050 "$work/src22.wav"
lame --quiet -b 128 "$work/src.wav" "$work/kind0.mp3"
lame --quiet -V 2 "$work/src.wav" "$work/kind1.mp3"
lame --quiet -t -b 64 "$work/src22.wav" "$work/kind2.mp3"
lame --quiet -b 192 --tt "A song" --ta "An artist" --id3v2-only --pad-id3v2-size 4096 "$work/src.wav" "$work/kind3.mp3"
# An hour of frames without a tag frame: twenty times three minutes.
lame --quiet -t -b 128 "$work/src.wav" "$work/plain.mp3"
for _ in $(seq 20); do cat "$work/plain.mp3"; done > "$work/hour.mp3"
rm "$work/src.wav" "$work/src22.wav" "$work/plain.mp3"
probes=()
for i in $(seq 0 31); do
  cp "$work/kind$((i % 4)).mp3" "$work/probe/song$i.mp3"
  probes+=("$work/probe/song$i.mp3")
done
songs=()
for i in 0 1 2 3 4 5 6 7 8 9; do
  tone 90 "$work/gen$i.wav" $i
  if ((i % 2 == 0)); then
    lame --quiet -b 128 "$work/gen$i.wav" "$work/songs/song$i.mp3"
    rm "$work/gen$i.wav"
    songs+=("$work/songs/song$i.mp3")
  else
    mv "$work/gen$i.wav" "$work/songs/song$i.wav"
    songs+=("$work/songs/song$i.wav")
  fi
done
sox -q -n -r 44100 -b 16 -c 2 "$work/long.wav" synth 900 sine 300-900 pinknoise remix 1,2v0.2 1,2v0.2 gain -3
sox -q -n -r 44100 -b 16 -c 1 "$work/hour.wav" synth 3600 sine 200-700 pinknoise remix 1,2v0.2 gain -3
six_songs=()
for i in 0 1 2 3 4 5; do
  tone $((i == 0 ? 190 : 40)) "$work/six$i.wav" $((i + 20))
  if ((i % 2 == 0)); then
    lame --quiet -b 128 "$work/six$i.wav" "$work/songs/six$i.mp3"
    rm "$work/six$i.wav"
    six_songs+=("$work/songs/six$i.mp3")
  else
    mv "$work/six$i.wav" "$work/songs/six$i.wav"
    six_songs+=("$work/songs/six$i.wav")
  fi
done
eight_songs=()
for i in 0 1 2 3 4 5 6 7; do
  tone 45 "$work/songs/eight$i.wav" $((i + 3))
  eight_songs+=("$work/songs/eight$i.wav")
done
many_songs=()
for i in $(seq 0 30); do
  if ((i < 3)); then tone 10 "$work/songs/short$i.wav" $((i + 11)); fi
  cp "$work/songs/short$((i % 3)).wav" "$work/songs/many$i.wav"
  many_songs+=("$work/songs/many$i.wav")
done
many_songs+=("$work/hour.wav")
cat "$work"/*.mp3 "$work"/songs/* "$work"/long.wav > /dev/null  # a warm page cache for both sides

# The start folders velmo-cli works in: the ten songs, and the long one.
ten=$work/ten
long=$work/long
six=$work/six
eight=$work/eight
many=$work/many
mkdir -p "$ten" "$long" "$six" "$eight" "$many"
for d in "$ten" "$long" "$six" "$eight" "$many"; do cp "$bin/spn.bin" "$d/"; done
"$cli" --dir "$ten" add "${songs[@]}" > /dev/null 2>&1
"$cli" --dir "$long" add "$work/long.wav" > /dev/null 2>&1
"$cli" --dir "$six" add "${six_songs[@]}" > /dev/null 2>&1
"$cli" --dir "$eight" add "${eight_songs[@]}" > /dev/null 2>&1
"$cli" --dir "$eight" quality best > /dev/null 2>&1
"$cli" --dir "$many" quality normal > /dev/null 2>&1
# The 32nd song fills the list: Add says so, and the song is in.
"$cli" --dir "$many" add "${many_songs[@]}" > /dev/null 2>&1 || true
for d in "$ten" "$long" "$six" "$eight" "$many"; do
  n=$("$cli" --dir "$d" --json list | awk -F': ' '/"songCount"/ { gsub(",", "", $2); print $2 }')
  [[ $n -gt 0 ]] || { echo "bench: the songs did not join the list in $d" >&2; exit 1; }
done

# ---------------------------------------------------------------------------
# The figures

echo "Decoding ..."
measure 3 "$bin/decode_bench" decode "$work/song.mp3" "$work/ours.raw"
o=("$M_WALL" "$M_CPU" "$M_RSS")
measure 3 ffmpeg -nostdin -v error -y -i "$work/song.mp3" -f s16le -ac 1 "$work/ffmpeg.raw"
row "decode 3-min MP3 to PCM" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffmpeg" "<= 1.5"

echo "Probing ..."
measure 3 "$bin/decode_bench" probe "${probes[@]}"
o=("$M_WALL" "$M_CPU" "$M_RSS")
# shellcheck disable=SC2016
measure 3 bash -c 'for f; do ffprobe -v error -show_entries format=duration -of csv=p=0 "$f"; done' _ "${probes[@]}"
row "probe 32 songs" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffprobe each" "< 0.1"
measure 3 "$bin/decode_bench" probe "$work/hour.mp3"
o=("$M_WALL" "$M_CPU" "$M_RSS")
measure 3 ffprobe -v error -show_entries format=duration -of csv=p=0 "$work/hour.mp3"
row "probe 60-min MP3, walked" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffprobe" "ours < 0.05 s"

# ffmpeg to the form our conversion makes at quality Good: mono, 32 kbit/s
# CBR, one song after the other. Arguments: OUT_DIR SONG...
# shellcheck disable=SC2016
ffmpeg_good='out=$1; shift; for f; do ffmpeg -nostdin -loglevel error -y -i "$f" -ac 1 -ar 44100 -c:a libmp3lame -b:a 32k -compression_level 2 -reservoir 0 "$out/$(basename "${f%.*}").mp3"; done'

echo "Converting ten 90-second songs ..."
measure 1 "$cli" --dir "$ten" image "$work/ten.bin"
o=("$M_WALL" "$M_CPU" "$M_RSS")
image_wall=$M_WALL image_cpu=$M_CPU image_rss=$M_RSS
image_bytes=$(stat -c %s "$work/ten.bin")
measure 1 bash -c "$ffmpeg_good" _ "$work/ffmpeg" "${songs[@]}"
row "convert 10 songs (velmo-cli image)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffmpeg one by one" "<= 1.0"

echo "Converting six songs, every core at work, against two ffmpeg processes at once and the floor ..."
measure 3 "$cli" --dir "$six" image "$work/six.bin"
o=("$M_WALL" "$M_CPU" "$M_RSS")
# shellcheck disable=SC2016
ffmpeg_one='out=$1; f=$2; ffmpeg -nostdin -loglevel error -y -i "$f" -ac 1 -ar 44100 -c:a libmp3lame -b:a 32k -compression_level 2 -reservoir 0 "$out/$(basename "${f%.*}").mp3"'
measure 3 bash -c "printf '%s\\0' \"\$@\" | xargs -0 -P2 -n1 bash -c '$ffmpeg_one' _ '$work/ffmpeg'" _ "${six_songs[@]}"
row "convert 6 songs (velmo-cli image)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffmpeg xargs -P2" "<= 0.85"
mkdir -p "$work/pcm"
"$bin/floor_bench" pcm "$work/pcm" "${six_songs[@]}" > "$work/pcm/list.txt"
measure 3 "$bin/floor_bench" encode 4 "$(nproc)" "$work/pcm/list.txt"
row "convert 6 songs (velmo-cli image)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "floor: encoder alone" "<= 1.10"
rm -rf "$work/pcm"
measure 1 bash -c "$ffmpeg_good" _ "$work/ffmpeg" "${six_songs[@]}"
row "convert 6 songs (velmo-cli image)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffmpeg one by one" "-"

echo "Converting the six songs with even volume on and off ..."
six_even=$work/six-even
cp -r "$six" "$six_even"
"$cli" --dir "$six_even" volume even > /dev/null
measure 3 "$cli" --dir "$six" image "$work/six.bin"
off=("$M_WALL" "$M_CPU" "$M_RSS")
measure 3 "$cli" --dir "$six_even" image "$work/six-even.bin"
cmp -s "$work/six.bin" "$work/six-even.bin" && { echo "bench: even volume changed nothing" >&2; exit 1; }
row "convert 6 songs, even volume" "$M_WALL" "$M_CPU" "$M_RSS" "${off[@]}" "even volume off" "<= 1.15"

echo "Converting a 15-minute WAV ..."
measure 1 "$cli" --dir "$long" image "$work/long.bin"
o=("$M_WALL" "$M_CPU" "$M_RSS")
measure 1 bash -c "$ffmpeg_good" _ "$work/ffmpeg" "$work/long.wav"
row "convert 15-min WAV (velmo-cli image)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "ffmpeg" "mem < 64 MiB"

echo "Downloading the ten songs into the simulated clock (delay off) ..."
measure 1 "$cli" --dir "$ten" download --verify
grep -q '^Verified' "$work/out.txt" || { echo "bench: the download did not verify" >&2; exit 1; }
row "download 10 songs + verify (velmo-cli)" "$M_WALL" "$M_CPU" "$M_RSS" "$image_wall" "$image_cpu" "$image_rss" \
    "velmo-cli image" "-"
transfer=$(awk -v d="$M_WALL" -v i="$image_wall" 'BEGIN { printf "%.3f", d - i }')

echo "Converting the ten songs reloaded from the clock (copied, not encoded again) ..."
reloaded=$work/reloaded
mkdir -p "$reloaded"
cp "$bin/spn.bin" "$reloaded/"
"$cli" --dir "$reloaded" reload --yes > /dev/null 2>&1
measure 1 "$cli" --dir "$reloaded" image "$work/reloaded.bin"
# The songs' bytes are the clock's own: the data area matches the first image.
cmp -s <(tail -c +8481 "$work/ten.bin") <(tail -c +8481 "$work/reloaded.bin") ||
  { echo "bench: the reloaded songs were not copied as they were" >&2; exit 1; }
row "convert 10 reloaded songs (velmo-cli image)" "$M_WALL" "$M_CPU" "$M_RSS" "$image_wall" "$image_cpu" "$image_rss" \
    "the original list" "<= 0.25"

echo "The device layer: 4 MiB through the simulated clock, without and with the USB 1.1 delay ..."
measure 1 "$bin/device_bench"
cp "$work/out.txt" "$work/device-fast.txt"
fast_rss=$M_RSS
measure 1 "$bin/device_bench" --delay
cp "$work/out.txt" "$work/device-slow.txt"
slow_rss=$M_RSS
field() { awk -v k="$1" '$1 == k { print $2; exit }' "$2"; }
for op in write read; do
  row "device: $op 4 MiB" "$(field $op "$work/device-fast.txt")" - "$fast_rss" \
      "$(field $op "$work/device-slow.txt")" - "$slow_rss" "USB 1.1 link" "-"
done

echo "Downloading eight 45-second songs at Best over the USB 1.1 link ..."
"$bin/zentro-sim" delay on > /dev/null
measure 1 "$cli" --dir "$eight" image "$work/eight.bin"
eight_bytes=$(stat -c %s "$work/eight.bin")
measure 1 "$cli" --dir "$eight" download --no-verify
link=$(awk -v w="$(field write "$work/device-slow.txt")" -v n="$eight_bytes" 'BEGIN { printf "%.3f", w * n / 4194304 }')
row "download 8 songs, USB 1.1 (velmo-cli)" "$M_WALL" "$M_CPU" "$M_RSS" "$link" - - "link time, same image" "<= 1.06"
# A Download reads the clock back by default: the same, verified, against
# the link's write and read time for the image.
measure 1 "$cli" --dir "$eight" download
grep -q '^Verified' "$work/out.txt" || { echo "bench: the download did not verify" >&2; exit 1; }
link_rw=$(awk -v w="$(field write "$work/device-slow.txt")" -v r="$(field read "$work/device-slow.txt")" -v n="$eight_bytes" \
  'BEGIN { printf "%.3f", (w + r) * n / 4194304 }')
row "download 8 songs + verify, USB 1.1" "$M_WALL" "$M_CPU" "$M_RSS" "$link_rw" - - "link write + read" "<= 1.06"
# Reload of those songs: in a folder without the verified Download's record,
# each song read twice (the default) against once; and in the Download's
# folder, where the record spares the second read.
echo "Reloading the eight songs over the USB 1.1 link ..."
mkdir -p "$work/reload-twice" "$work/reload-once"
cp "$bin/spn.bin" "$work/reload-twice/"
cp "$bin/spn.bin" "$work/reload-once/"
"$cli" --dir "$work/reload-once" reload-check once > /dev/null
measure 1 "$cli" --dir "$work/reload-once" reload --yes
o=("$M_WALL" "$M_CPU" "$M_RSS")
measure 1 "$cli" --dir "$work/reload-twice" reload --yes
row "reload 8 songs, USB 1.1, read twice" "$M_WALL" "$M_CPU" "$M_RSS" "${o[@]}" "read once" "~2"
measure 1 "$cli" --dir "$eight" reload --yes
row "reload 8 songs, USB 1.1, with the record" "$M_WALL" "$M_CPU" "$M_RSS" "${o[@]}" "read once" "~1"
"$bin/zentro-sim" delay off > /dev/null

echo "Downloading 32 songs, one of them a 60-minute WAV ..."
measure 1 "$cli" --dir "$many" download --yes --no-verify
o=("$M_WALL" "$M_CPU" "$M_RSS")
measure 1 "$cli" --dir "$many" image --yes "$work/many.bin"
row "download 32 songs, one 60 min (velmo-cli)" "${o[@]}" "$M_WALL" "$M_CPU" "$M_RSS" "velmo-cli image" "mem < 64 MiB"

append_bench

# ---------------------------------------------------------------------------
# The table

echo
print_table
echo
echo "Wall and CPU times in seconds (best of 3 for decode, probe and the six songs, one run otherwise); MiB: peak resident memory."
echo "The download converts again, erases, writes $image_bytes image bytes and reads them back:"
echo "about $transfer s more than the conversion alone."
