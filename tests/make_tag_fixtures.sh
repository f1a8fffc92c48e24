#!/usr/bin/env bash
# Makes the tagged song files the tests of names from tags read, in every tag
# format TagLib is asked to read: ID3v1, ID3v2.3 (UTF-16 text), ID3v2.4
# (UTF-8), Vorbis comments in FLAC, Ogg Vorbis and Opus, MP4 atoms, APE (in
# WavPack), ASF and RIFF INFO; and the places other readers find names in:
# fields with several values, AIFF NAME and ID3 chunks, Matroska and WebM
# tags, an ID3v2 tag at the start of an APE file, RIFF INFO beside an ID3
# chunk. Run by the build into OUT_DIR; every file is a second of tone made
# with sox and ffmpeg, or bytes written here where no tool writes them.
# Usage: make_tag_fixtures.sh OUT_DIR
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
# An ID3v2 tag without an artist, and an ID3v1 tag behind the song that names one.
ff -id3v2_version 4 -metadata title="V2 Title" "$tmp/v2v1.mp3"
id3v2 -1 -a "V1 Artist" "$tmp/v2v1.mp3"
mv "$tmp/v2v1.mp3" "$out/id3v2_title_id3v1_artist.mp3"
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

# Bytes of the containers below, field by field.
le16() { printf "$(printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)))"; }
le32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
be24() { printf "$(printf '\\x%02x\\x%02x\\x%02x' $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"; }
be32() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"; }
synchsafe() { printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $(($1 >> 21 & 127)) $(($1 >> 14 & 127)) $(($1 >> 7 & 127)) $(($1 & 127)))"; }
# An ID3v2 text frame of UTF-8 (2.4) or Latin-1 (2.3) text; NUL separates
# the values of a 2.4 frame. Usage: id3text VERSION NAME TEXT (printf escapes).
id3text() {
    printf "$3" > "$tmp/text"
    local size=$(($(stat -c %s "$tmp/text") + 1))
    printf '%s' "$2"
    if [ "$1" = 4 ]; then synchsafe $size; printf '\x00\x00\x03'; else be32 $size; printf '\x00\x00\x00'; fi
    cat "$tmp/text"
}
# A whole ID3v2 tag around the frames in file $2.
id3tag() { printf "ID3\\x0$1\\x00\\x00"; synchsafe "$(stat -c %s "$2")"; cat "$2"; }

# Several artists and several titles: ID3v2.4 keeps them NUL-separated in one frame ...
{ id3text 4 TIT2 'First Title\x00Second Title'; id3text 4 TPE1 'Explo\x00ions\x00nodejsftws'; } > "$tmp/frames"
{ id3tag 4 "$tmp/frames"; cat "$out/untagged.mp3"; } > "$out/multi_id3v24.mp3"
# ... Vorbis comments as a field each: FLAC's STREAMINFO from ffmpeg, a
# VORBIS_COMMENT block of our own (the last block), then ffmpeg's frames.
ff "$tmp/full.flac"
ff -write_header 0 -f flac "$tmp/frames.flac"
comment() { le32 ${#1}; printf '%s' "$1"; }
{ comment "velmo"; le32 5; comment "TITLE=First Title"; comment "ARTIST=Explo"; comment "TITLE=Second Title"
  comment "ARTIST=ions"; comment "ARTIST=nodejsftws"; } > "$tmp/comment"
{ head -c 42 "$tmp/full.flac"; printf '\x84'; be24 "$(stat -c %s "$tmp/comment")"; cat "$tmp/comment"
  cat "$tmp/frames.flac"; } > "$out/multi_vorbis.flac"

# AIFF: NAME and AUTH chunks (ffmpeg writes them from title and author), or an ID3 chunk.
ff -metadata title="Name Chunk Title" -metadata author="Auth Chunk Artist" "$out/name_chunks.aiff"
ff -write_id3v2 1 -metadata title="AIFF ID3 Title" -metadata artist="AIFF ID3 Artist" "$out/id3_chunk.aiff"

# Matroska and WebM, which TagLib does not read.
ff -c:a flac -metadata title="Matroska Title" -metadata artist="Matroska Artist" "$out/tags.mka"
ff -c:a libopus -metadata title="WebM Title" -metadata artist="WebM Artist" "$out/tags.webm"

# An ID3v2.3 tag before a Monkey's Audio header (descriptor and header of
# version 3.99, one frame of 22050 samples); no encoder of the format is at
# hand, so its frame is left out: only the tags are read from it.
{ printf 'MAC '; le16 3990; le16 0; le32 52; le32 24; le32 4; le32 0; le32 0; le32 0; le32 0
  printf '\x00%.0s' {1..16}
  le16 2000; le16 0; le32 73728; le32 22050; le32 1; le16 16; le16 1; le32 22050; le32 $((52 + 24 + 4)); } > "$tmp/mac"
{ id3text 3 TIT2 'APE ID3 Title'; id3text 3 TPE1 'APE ID3 Artist'; } > "$tmp/frames"
{ id3tag 3 "$tmp/frames"; cat "$tmp/mac"; } > "$out/id3v2_start.ape"

# A WAV file whose ID3 chunk names the title and whose INFO list the artist
# (and another title, which the ID3 chunk's outranks).
ff -metadata title="INFO Title" -metadata artist="INFO Artist" "$tmp/info.wav"
id3text 3 TIT2 'ID3 Chunk Title' > "$tmp/frames"
id3tag 3 "$tmp/frames" > "$tmp/id3"
[ $(($(stat -c %s "$tmp/id3") % 2)) = 0 ] || printf '\x00' >> "$tmp/id3"
{ cat "$tmp/info.wav"; printf 'id3 '; le32 "$(stat -c %s "$tmp/id3")"; cat "$tmp/id3"; } > "$out/info_beside_id3.wav"
le32 $(($(stat -c %s "$out/info_beside_id3.wav") - 8)) | dd of="$out/info_beside_id3.wav" bs=1 seek=4 conv=notrunc status=none

touch "$out/stamp"
