#!/usr/bin/env bash
# Makes the MP3 files the tests of songs already in the clock's form read:
# files made by lame from outside, in the clock's form at each quality (with
# ID3v1 and ID3v2 tags and an Info frame), and others that are not: another
# sample rate, stereo, CRC, VBR. Run by the build into OUT_DIR; every file is
# three seconds of tones made with sox, but the long one of 40 seconds. Usage: make_copy_fixtures.sh OUT_DIR
set -euo pipefail

out=$1
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sox -D -n -r 44100 -c 1 -b 16 "$tmp/mono.wav" synth 3 sine 440 sine 1320 remix 1,2 gain -6
sox -D -n -r 44100 -c 2 -b 16 "$tmp/stereo.wav" synth 3 sine 440 sine 660 gain -6
# lame writes the original bit, no CRC and an Info frame by default; the tags
# are ID3v2 at the start and ID3v1 at the end.
tagged() { lame --quiet --cbr --add-id3v2 --tt "Outside Song" --ta "Band" "$@"; }

tagged -m m -b 64 --resample 44.1 "$tmp/mono.wav" "$out/best_form.mp3"
tagged -m m -b 32 --resample 44.1 "$tmp/mono.wav" "$out/good_form.mp3"
tagged -m m -b 16 --resample 22.05 "$tmp/mono.wav" "$out/normal_form.mp3"
tagged -m m -b 64 --resample 48 "$tmp/mono.wav" "$out/other_rate.mp3"
tagged -m s -b 64 --resample 44.1 "$tmp/stereo.wav" "$out/stereo.mp3"
tagged -m m -b 64 --resample 44.1 -p "$tmp/mono.wav" "$out/crc.mp3"
lame --quiet -m m -V 2 --resample 44.1 "$tmp/mono.wav" "$out/vbr.mp3"
# A song long enough to be cut on a small clock at every quality.
sox -D -n -r 44100 -c 2 -b 16 "$tmp/long.wav" synth 40 sine 200-800 sine 500 gain -6
lame --quiet -b 128 "$tmp/long.wav" "$out/long_stereo.mp3"

touch "$out/stamp"
