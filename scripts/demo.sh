#!/usr/bin/env bash
# A short end-to-end run of Velmo in the terminal (velmo-cli) on the simulated
# clock, for a machine without a display: makes a few sample songs with sox
# in workspace/, adds them to the list, downloads them into the clock, reloads
# them into a second folder and compares what came back with what was sent.
#
# Called by run.sh (after it has built build/) with ZENTRO_SIM_DIR set to
# workspace/zentro-sim; usable alone once build/bin holds velmo-cli.
# Usage: scripts/demo.sh [BUILD_DIR]   (default: build)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$top/build}
[[ $build == /* ]] || build=$top/$build
bin=$build/bin
cli=$bin/velmo-cli
sim=$bin/zentro-sim
for f in "$cli" "$sim" "$bin/spn.bin" "$bin/libusb_dll.so" "$bin/liblame_enc.so"; do
  [[ -e $f ]] || { echo "demo: $f is missing; build first (./run.sh builds everything)" >&2; exit 1; }
done
command -v sox >/dev/null || { echo "demo: sox is needed (scripts/setup.sh installs it)" >&2; exit 1; }

workspace=$top/workspace
export ZENTRO_SIM_DIR=${ZENTRO_SIM_DIR:-$workspace/zentro-sim}
start=$workspace/demo
second=$workspace/demo-reloaded
songs=$workspace/demo-songs

step=0
say() {
  step=$((step + 1))
  printf '\n== %d. %s\n' "$step" "$*"
}
run() {
  printf '$ %s\n' "$*"
  "$@"
}

say "A fresh start folder ($start) and a second one for the reload"
rm -rf "$start" "$second" "$songs"
mkdir -p "$start" "$second" "$songs"
cp "$bin/spn.bin" "$start/spn.bin"
cp "$bin/spn.bin" "$second/spn.bin"

say "The simulated clock in $ZENTRO_SIM_DIR: plugged in, no faults, link delay off for speed"
# The window on this clock should feel like the real link again afterwards.
if "$sim" status | grep -q '^delay: *on'; then trap '"$sim" delay on > /dev/null' EXIT; fi
run "$sim" plug
run "$sim" fault clear
run "$sim" delay off
run "$cli" --dir "$start" status

say "Three sample songs made with sox"
sox -q -n -r 44100 -b 16 -c 2 "$songs/Morning Walk.wav" synth 6 sine 330-660 sine 440 remix 1,2v0.4 2,1v0.4 gain -6
sox -q -n -r 22050 -b 16 -c 1 "$songs/Evening Bells.wav" synth 5 pluck 220 pluck 330 remix 1,2 gain -6 fade 0 5 1
sox -q -n -r 44100 -b 16 -c 2 "$songs/Night Train.mp3" synth 7 sine 110-220 pinknoise remix 1,2v0.2 1,2v0.2 gain -8
ls -l "$songs"

say "Add the songs to the list (as the Add button), in this order"
run "$cli" --dir "$start" add "$songs/Morning Walk.wav" "$songs/Evening Bells.wav" "$songs/Night Train.mp3"
run "$cli" --dir "$start" list

say "Download them into the clock, and read the image back to verify it"
run "$cli" --dir "$start" download --yes --verify
run "$cli" inspect "$ZENTRO_SIM_DIR/flash.bin"

say "Reload the clock's songs into the second folder"
run "$cli" --dir "$second" reload --yes
run "$cli" --dir "$second" list

say "Compare: the same songs, in the same order, with the bytes the clock holds"
sent=$("$cli" --dir "$start" --json list | sed -n 's/^      "name": "\(.*\)",$/\1/p' | sed 's/\.[^.]*$//')
back=$("$cli" --dir "$second" --json list | sed -n 's/^      "name": "\(.*\)",$/\1/p' | sed 's/\.[^.]*$//')
echo "sent:     $(tr '\n' ',' <<<"$sent")"
echo "reloaded: $(tr '\n' ',' <<<"$back")"
[[ $sent == "$back" && -n $sent ]] || { echo "demo: the reloaded songs differ from the ones sent" >&2; exit 1; }
"$sim" extract "$workspace/demo-extracted" > /dev/null
while IFS= read -r name; do
  cmp "$workspace/demo-extracted/$name.mp3" "$second/dat/$name.mp3"
  echo "  $name.mp3: $(stat -c %s "$second/dat/$name.mp3") bytes, identical to the clock's copy"
done <<<"$back"
rm -rf "$workspace/demo-extracted"

printf '\nDemo finished: %d songs went to the simulated clock and came back.\n' "$(wc -l <<<"$back")"
echo "Try it yourself: $cli --dir $start --help"
