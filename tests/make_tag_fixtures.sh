#!/usr/bin/env bash
# Makes the tagged song files the tests of names from tags read, in every tag
# format TagLib is asked to read: ID3v1, ID3v2.3 (UTF-16 text), ID3v2.4
# (UTF-8), Vorbis comments in FLAC, Ogg Vorbis and Opus, MP4 atoms, APE (in
# WavPack), ASF and RIFF INFO. Run by the build into OUT_DIR; every file is a
# second of tone made with sox and ffmpeg. Usage: make_tag_fixtures.sh OUT_DIR
set -euo pipefail

out=$1
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sox -D -n -r 22050 -c 1 -b 16 "$tmp/tone.wav" synth 1 sine 440 gain -3
# -bitexact keeps ffmpeg's own "encoder" tag out; -map_metadata -1 drops the source's.
ff() { ffmpeg -v error -y -i "$tmp/tone.wav" -map_metadata -1 -fflags +bitexact -flags:a +bitexact "$@"; }

ff -id3v2_version 3 -metadata title="Grüße aus Köln – 東京" -metadata artist="Zoë Ωmega" "$out/id3v23_utf16.mp3"
ff -id3v2_version 4 -metadata title="Sunrise Theme" -metadata artist="Ana" "$out/id3v24.mp3"
ff -id3v2_version 0 "$out/untagged.mp3"
cp "$out/untagged.mp3" "$tmp/v1.mp3"
id3v2 -1 -a "Band" -t "Old Tag" "$tmp/v1.mp3"
mv "$tmp/v1.mp3" "$out/id3v1_only.mp3"
ff -metadata title="Morning Rain" "$out/title_only.flac"
ff -c:a libvorbis -metadata title="Vorbis Title" -metadata artist="Vorbis Artist" "$out/vorbis.ogg"
ff -c:a libopus -metadata title="Opus Title" -metadata artist="Opus Artist" "$out/opus.opus"
ff -c:a aac -metadata title="MP4 Title" -metadata artist="MP4 Artist" "$out/mp4.m4a"
ff -c:a wavpack -metadata title="APE Title" -metadata artist="APE Artist" "$out/ape.wv"
ff -c:a wmav2 -metadata title="ASF Title" -metadata artist="ASF Artist" "$out/asf.wma"
ff -metadata title="RIFF Title" -metadata artist="RIFF Artist" "$out/riff_info.wav"

# A title of 400 bytes: "a" and 133 three-byte characters, so that no cut at
# an even count of bytes falls between two of them.
long="a"
for _ in $(seq 133); do long+="東"; done
ff -id3v2_version 4 -metadata title="$long" "$out/long_title.mp3"
# A slash and a control character, which no file name should hold.
ff -id3v2_version 4 -metadata title=$'AC/DC\x01Live' -metadata artist=$'Band\x7f' "$out/unsafe_title.mp3"

touch "$out/stamp"
