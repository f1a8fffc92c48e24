#!/usr/bin/env bash
# Makes the small audio fixtures in tests/data/ with public tools (sox, lame,
# ffmpeg, id3v2) and records ffprobe's duration of each in durations.txt. The
# files are committed; run this again only to change them.
set -euo pipefail

out=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/tests/data
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

# Sources (no dither, so that every run makes the same bytes): a two-tone stereo signal, so that the channels differ and the mix matters.
sox -D -n -r 44100 -c 2 -b 16 "$tmp/stereo44.wav" synth 2 sine 440 sine 660 gain -3
sox -D -n -r 48000 -c 1 -b 16 "$tmp/mono48.wav" synth 2 sine 1000 gain -3
sox -D -n -r 22050 -c 2 -b 16 "$tmp/stereo22.wav" synth 2 sine 300 sine 500 gain -3
sox -D -n -r 24000 -c 1 -b 16 "$tmp/mono24.wav" synth 2 sine 700 gain -3
sox -D -n -r 8000 -c 1 -b 16 "$tmp/mono8.wav" synth 2 sine 350 gain -3
sox -D -n -r 11025 -c 2 -b 16 "$tmp/stereo11.wav" synth 2 sine 250 sine 400 gain -3

lameq=(lame --quiet --nohist)
# MPEG-1 layer III, 44100 Hz, 128 kbit/s: padded and unpadded frames, no tag frame.
"${lameq[@]}" -t -b 128 "$tmp/stereo44.wav" "$out/l3_44100_cbr128_stereo.mp3"
# 48000 Hz, 128 kbit/s: 384-byte frames that never need padding; the file ends
# exactly at the end of its last frame.
"${lameq[@]}" -t -b 128 -m m "$tmp/mono48.wav" "$out/l3_48000_cbr128_mono_nopad.mp3"
# LAME's "Info" frame on a constant-bit-rate file.
"${lameq[@]}" -b 128 "$tmp/stereo44.wav" "$out/l3_44100_cbr128_info.mp3"
# Variable bit rate with a "Xing" frame, MPEG-1 and MPEG-2.
"${lameq[@]}" -V 4 "$tmp/stereo44.wav" "$out/l3_44100_vbr_xing.mp3"
"${lameq[@]}" -V 6 "$tmp/stereo22.wav" "$out/l3_22050_vbr_xing.mp3"
# MPEG-2 and MPEG-2.5 layer III.
"${lameq[@]}" -t -b 64 "$tmp/stereo22.wav" "$out/l3_22050_cbr64_stereo.mp3"
"${lameq[@]}" -t -b 32 -m m --resample 24 "$tmp/mono24.wav" "$out/l3_24000_cbr32_mono.mp3"
"${lameq[@]}" -t -b 16 -m m "$tmp/mono8.wav" "$out/l3_8000_cbr16_mono.mp3"
"${lameq[@]}" -t -b 32 "$tmp/stereo11.wav" "$out/l3_11025_cbr32_stereo.mp3"
# Layer II.
ffmpeg -v error -y -i "$tmp/stereo44.wav" -c:a mp2 -b:a 128k -f mp2 "$out/l2_44100_cbr128_stereo.mp3"
# Tags: ID3v2 at the start, ID3v1 at the end, and both.
cp "$out/l3_44100_cbr128_stereo.mp3" "$tmp/v2.mp3"
id3v2 -2 -a "Velmo Fixtures" -t "Two Tones" "$tmp/v2.mp3"
mv "$tmp/v2.mp3" "$out/l3_44100_id3v2.mp3"
cp "$out/l3_44100_cbr128_stereo.mp3" "$tmp/v1.mp3"
id3v2 -1 -a "Velmo Fixtures" -t "Two Tones" "$tmp/v1.mp3"
mv "$tmp/v1.mp3" "$out/l3_44100_id3v1.mp3"
cp "$out/l3_44100_cbr128_stereo.mp3" "$tmp/v12.mp3"
id3v2 -1 -a "Velmo Fixtures" -t "Two Tones" "$tmp/v12.mp3"
id3v2 -2 -a "Velmo Fixtures" -t "Two Tones" "$tmp/v12.mp3"
mv "$tmp/v12.mp3" "$out/l3_44100_id3v1v2.mp3"

# WAV files, one second at low sample rates to stay small.
sox -D -n -r 8000 -c 1 -b 16 -e signed "$out/wav_pcm16_mono.wav" synth 1 sine 440 gain -3
sox -D -n -r 8000 -c 2 -b 16 -e signed "$out/wav_pcm16_stereo.wav" synth 1 sine 440 sine 660 gain -3
sox -D -n -r 8000 -c 1 -b 8 -e unsigned "$out/wav_pcm8_mono.wav" synth 1 sine 440 gain -3
sox -D -n -r 8000 -c 1 -b 32 -e floating-point "$out/wav_float32_mono.wav" synth 1 sine 440 gain -3
# More than 16 bits: sox writes WAVE_FORMAT_EXTENSIBLE.
sox -D -n -r 8000 -c 2 -b 24 -e signed "$out/wav_extensible24_stereo.wav" synth 0.5 sine 440 gain -3
# ffmpeg writes a LIST chunk with the encoder's name before "data".
ffmpeg -v error -y -i "$out/wav_pcm16_stereo.wav" -c:a pcm_s16le -f wav "$out/wav_list_chunk.wav"

# An 18-byte format chunk (with its extra-size field) on 16-bit PCM.
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
sox -D -n -r 8000 -c 1 -b 16 -e signed -t raw "$tmp/fmt18.raw" synth 1 sine 523 gain -3
data=$(stat -c %s "$tmp/fmt18.raw")
{
  printf RIFF; le32 $((4 + 26 + 8 + data)); printf WAVE
  printf 'fmt '; le32 18; le16 1; le16 1; le32 8000; le32 16000; le16 2; le16 16; le16 0
  printf data; le32 "$data"
  cat "$tmp/fmt18.raw"
} >"$out/wav_fmt18_mono.wav"

# Every other format, one second of two different tones (left 440 Hz, right
# 660 Hz) so that the mix of the channels can be checked. Bit-exact flags keep
# encoder versions out of the files.
ffx=(ffmpeg -v error -y)
ffo=(-map_metadata -1 -fflags +bitexact -flags:a +bitexact)
sox -D -n -r 96000 -c 2 -b 24 -e signed "$tmp/stereo96.wav" synth 1 sine 440 sine 660 gain -3
sox -D -n -r 44100 -c 2 -b 16 -e signed "$tmp/stereo44s.wav" synth 1 sine 440 sine 660 gain -3
sox -D -n -r 22050 -c 2 -b 16 -e signed "$tmp/stereo22s.wav" synth 1 sine 440 sine 660 gain -3
sox -D -n -r 8000 -c 1 -b 16 -e signed "$tmp/mono8s.wav" synth 1 sine 440 gain -3
sox -D -n -r 8000 -c 6 -b 16 -e signed "$tmp/six8.wav" synth 1 sine 300 sine 400 sine 500 sine 600 sine 700 sine 800 gain -3
"${ffx[@]}" -i "$tmp/stereo96.wav" -c:a flac -sample_fmt s16 "${ffo[@]}" "$out/flac16_96000_stereo.flac"
"${ffx[@]}" -i "$tmp/stereo96.wav" -c:a flac -sample_fmt s32 "${ffo[@]}" "$out/flac24_96000_stereo.flac"
"${ffx[@]}" -i "$tmp/stereo22s.wav" -c:a libvorbis -q:a 0 "${ffo[@]}" "$out/vorbis_22050_stereo.ogg"
"${ffx[@]}" -i "$tmp/stereo22s.wav" -c:a libopus -b:a 24k "${ffo[@]}" "$out/opus_48000_stereo.opus"
"${ffx[@]}" -i "$tmp/stereo22s.wav" -c:a aac -b:a 32k "${ffo[@]}" "$out/aac_22050_stereo.m4a"
"${ffx[@]}" -i "$tmp/stereo22s.wav" -c:a alac "${ffo[@]}" "$out/alac_22050_stereo.m4a"
"${ffx[@]}" -i "$tmp/stereo22s.wav" -c:a pcm_s16be "${ffo[@]}" "$out/aiff_22050_stereo.aiff"
"${ffx[@]}" -i "$tmp/stereo22s.wav" -c:a wmav2 -b:a 32k "${ffo[@]}" "$out/wma_22050_stereo.wma"
# The audio stream FFmpeg rates best is not the first: a video stream, then
# 8000 Hz mono (300 Hz), then the default audio stream, 22050 Hz stereo.
sox -D -n -r 8000 -c 1 -b 16 -e signed "$tmp/mono8t.wav" synth 1 sine 300 gain -3
"${ffx[@]}" -f lavfi -i color=c=black:s=16x16:r=1:d=1 -i "$tmp/mono8t.wav" -i "$tmp/stereo22s.wav" \
  -map 0:v -map 1:a -map 2:a -c:v ffv1 -c:a libvorbis -q:a 0 -disposition:a:0 0 -disposition:a:1 default \
  "${ffo[@]}" -flags:v +bitexact "$out/mkv_video_two_audio.mkv"
# Half a second of layer II at 44100 Hz stereo and at 22050 Hz mono: MPEG audio
# frames join by concatenation, so the tests make of them a stream whose rate
# and channel count change mid-way. Not named .mp3: the FFmpeg reader takes them.
sox -D -n -r 44100 -c 2 -b 16 -e signed "$tmp/stereo44h.wav" synth 0.5 sine 440 sine 660 gain -3
sox -D -n -r 22050 -c 1 -b 16 -e signed "$tmp/mono22h.wav" synth 0.5 sine 300 gain -3
"${ffx[@]}" -i "$tmp/stereo44h.wav" -c:a mp2 -b:a 128k "${ffo[@]}" -f mp2 "$out/mp2_44100_stereo.mp2"
"${ffx[@]}" -i "$tmp/mono22h.wav" -c:a mp2 -b:a 32k "${ffo[@]}" -f mp2 "$out/mp2_22050_mono.mp2"
# WAV beyond the 16-bit reader: 24-bit and 32-bit integer PCM (format tag 1),
# six channels (ffmpeg writes the extensible tag for them).
"${ffx[@]}" -i "$tmp/mono8s.wav" -c:a pcm_s24le "${ffo[@]}" "$out/wav_pcm24_mono.wav"
"${ffx[@]}" -i "$tmp/mono8s.wav" -c:a pcm_s32le "${ffo[@]}" "$out/wav_pcm32_mono.wav"
"${ffx[@]}" -i "$tmp/six8.wav" -c:a pcm_s16le "${ffo[@]}" "$out/wav_pcm16_6ch.wav"
# Built by hand from raw 16-bit stereo samples: the extensible format tag
# (0xFFFE, subformat PCM) on plain 16-bit stereo, a JUNK chunk before the
# format chunk, and a chunk of odd size followed by RIFF's pad byte.
sox -D -n -r 8000 -c 2 -b 16 -e signed -t raw "$tmp/st8.raw" synth 1 sine 440 sine 660 gain -3
data=$(stat -c %s "$tmp/st8.raw")
fmt16() { printf 'fmt '; le32 16; le16 1; le16 2; le32 8000; le32 32000; le16 4; le16 16; }
{
  printf RIFF; le32 $((4 + 48 + 8 + data)); printf WAVE
  printf 'fmt '; le32 40; le16 0xFFFE; le16 2; le32 8000; le32 32000; le16 4; le16 16
  le16 22; le16 16; le32 3
  printf '\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71'
  printf data; le32 "$data"
  cat "$tmp/st8.raw"
} >"$out/wav_extensible16_stereo.wav"
{
  printf RIFF; le32 $((4 + 8 + 28 + 24 + 8 + data)); printf WAVE
  printf JUNK; le32 28; head -c 28 /dev/zero
  fmt16
  printf data; le32 "$data"
  cat "$tmp/st8.raw"
} >"$out/wav_junk_first.wav"
{
  printf RIFF; le32 $((4 + 24 + 8 + 6 + 8 + data)); printf WAVE
  fmt16
  printf 'note'; le32 5; printf 'velmo\x00'
  printf data; le32 "$data"
  cat "$tmp/st8.raw"
} >"$out/wav_odd_chunk.wav"

# Broken files: an M4A cut in half (its index comes last, so it is lost), and
# a FLAC whose stream header is followed by garbage instead of frames.
head -c $(($(stat -c %s "$out/aac_22050_stereo.m4a") / 2)) "$out/aac_22050_stereo.m4a" >"$out/broken_truncated.m4a"
{
  head -c 42 "$out/flac16_96000_stereo.flac"
  sox -D -R -n -r 8000 -c 1 -b 8 -e unsigned -t raw - synth 1 whitenoise | head -c 6000
} >"$out/broken_garbage.flac"

# ffprobe's view of every fixture, for the tests to compare the probes against.
{
  echo "# file ffprobe-duration-seconds (made by scripts/make_fixtures.sh)"
  for f in "$out"/*.mp3 "$out"/*.wav "$out"/*.flac "$out"/*.ogg "$out"/*.opus "$out"/*.m4a "$out"/*.aiff "$out"/*.wma; do
    d=$(ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "$f" 2>/dev/null || true)
    [[ -n $d && $d != N/A ]] || continue
    echo "$(basename "$f") $d"
  done
} >"$out/durations.txt"
du -ch "$out" | tail -1
