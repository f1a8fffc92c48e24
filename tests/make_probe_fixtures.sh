#!/usr/bin/env bash
# Makes the songs the tests of the length probe and the size estimate measure:
# MP3s whose first frame, tags or Xing frame would mislead a probe that
# trusts them, and a FLAC whose header claims ten times its audio. Every file
# is 8 seconds of tone made with sox, then encoded with ffmpeg or lame. Run by
# the build into OUT_DIR. Usage: make_probe_fixtures.sh OUT_DIR
set -euo pipefail

out=$1
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

sox -D -n -r 22050 -c 2 -b 16 "$tmp/tone22.wav" synth 8 sine 300-900 sine 440 gain -3
sox -D -n -r 44100 -c 2 -b 16 "$tmp/tone44.wav" synth 8 sine 300-900 sine 440 gain -3
ff() { ffmpeg -v error -y -i "$1" -map_metadata -1 -fflags +bitexact -flags:a +bitexact "${@:2}"; }

# Bytes by their values: be32 N, synchsafe N (ID3v2 sizes: 7 bits a byte).
be32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"; }
synchsafe() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 21 & 127)) $(($1 >> 14 & 127)) $(($1 >> 7 & 127)) $(($1 & 127)))"; }
# id3frame ID BODY_FILE: an ID3v2.3 frame; id3tag FRAMES_FILE: the tag around frames.
id3frame() { printf '%s' "$1"; be32 "$(stat -c %s "$2")"; printf '\x00\x00'; cat "$2"; }
id3tag() { printf 'ID3\x03\x00\x00'; synchsafe "$(stat -c %s "$1")"; cat "$1"; }
# silentframes N: N MPEG-1 layer III frames at 44100 Hz, 128 kbit/s (417
# bytes, a header and zeros), which a decoder takes for silence at 44100 Hz.
silentframes() {
  local i
  for ((i = 0; i < $1; i++)); do
    printf '\xff\xfb\x90\x44'
    head -c 413 /dev/zero
  done
}

# ffmpeg's constant bit rate at 32 kbit/s and 22050 Hz: its Info frame is
# written at another bit rate than the audio.
ff "$tmp/tone22.wav" -c:a libmp3lame -b:a 32k -id3v2_version 0 "$out/cbr32_22050_info.mp3"

# Variable bit rate without a Xing frame: the first frame's bit rate says
# nothing of the rest.
lame --quiet -t -V 5 "$tmp/tone44.wav" "$out/vbr_no_xing.mp3"

# Two ID3v2 tags, junk between them with a whole false frame at 44100 Hz in
# it, then the audio at 22050 Hz.
ff "$tmp/tone22.wav" -c:a libmp3lame -b:a 64k -id3v2_version 3 -metadata title="Second Tag" "$tmp/audio22.mp3"
printf '\x00Junk Title' > "$tmp/title"
id3frame TIT2 "$tmp/title" > "$tmp/frames"
id3tag "$tmp/frames" > "$tmp/tag1"
{ printf 'JUNK%.0s' {1..100}; silentframes 1; printf 'JUNK%.0s' {1..100}; } > "$tmp/junk"
cat "$tmp/tag1" "$tmp/junk" "$tmp/audio22.mp3" > "$out/junk_two_id3.mp3"

# A cover picture full of frame headers that follow one another, at another
# rate than the audio.
ff "$tmp/tone22.wav" -c:a libmp3lame -b:a 64k -id3v2_version 0 "$tmp/bare22.mp3"
{ printf '\x00image/jpeg\x00\x03\x00'; silentframes 40; } > "$tmp/apic"
id3frame APIC "$tmp/apic" > "$tmp/frames"
id3tag "$tmp/frames" > "$tmp/tag2"
cat "$tmp/tag2" "$tmp/bare22.mp3" > "$out/cover_false_sync.mp3"

# A chapter frame whose sub-frame holds a whole false frame.
{ silentframes 1; } > "$tmp/priv"
{ printf 'ch0\x00'; be32 0; be32 8000; be32 0; be32 0; id3frame PRIV "$tmp/priv"; } > "$tmp/chap"
id3frame CHAP "$tmp/chap" > "$tmp/frames"
id3tag "$tmp/frames" > "$tmp/tag3"
cat "$tmp/tag3" "$tmp/bare22.mp3" > "$out/chapter_false_sync.mp3"

# A Xing frame that claims 100000 frames for 8 seconds of audio.
lame --quiet -V 5 "$tmp/tone44.wav" "$out/xing_100000.mp3"
at=$(grep -obUaP 'Xing|Info' "$out/xing_100000.mp3" | head -1 | cut -d: -f1)
be32 100000 | dd of="$out/xing_100000.mp3" bs=1 seek=$((at + 8)) conv=notrunc status=none

# A FLAC whose STREAMINFO claims ten times the samples it holds (the low 32
# bits of the 36-bit count lie at bytes 22 to 25).
ff "$tmp/tone44.wav" "$out/claims_ten_times.flac"
samples=$(od -An -tu1 -j22 -N4 "$out/claims_ten_times.flac" | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }')
be32 $((samples * 10)) | dd of="$out/claims_ten_times.flac" bs=1 seek=22 conv=notrunc status=none

# Plain songs beside them: a constant bit rate without a tag frame and a VBR
# file with its Xing frame.
ff "$tmp/tone44.wav" -c:a libmp3lame -b:a 128k -id3v2_version 0 -write_xing 0 "$out/cbr128_plain.mp3"
lame --quiet -V 5 "$tmp/tone44.wav" "$out/vbr_xing.mp3"

touch "$out/stamp"
