#!/usr/bin/env bash
# The installed layout: cmake --install into a scratch root with the prefix
# /usr, then every installed file is where a desktop and a shell look for it,
# the validators accept the menu entry and the AppStream description, the
# manual pages render without a warning, the completion answers, and the
# installed programs work from an empty folder (the agent and the libraries
# come from lib/velmo/).
# Usage: tests/install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
# The programs speak English unless a check asks for another language.
unset LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8
build=$1
source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr
app=org.velmo.velmo

expected=(
  bin/velmo bin/velmo-cli bin/zentro-sim
  lib/velmo/libusb_dll.so lib/velmo/liblame_enc.so lib/velmo/spn.bin
  share/applications/$app.desktop share/metainfo/$app.metainfo.xml
  share/icons/hicolor/scalable/apps/$app.svg
  share/man/man1/velmo.1.gz share/man/man1/velmo-cli.1.gz share/man/man1/zentro-sim.1.gz
  share/bash-completion/completions/velmo-cli
  share/doc/velmo/json.md share/doc/velmo/velmo-window.png
  share/doc/velmo/copyright share/doc/velmo/changelog.gz
  share/lintian/overrides/velmo
)
languages=(de fr es)
for lang in "${languages[@]}"; do expected+=(share/locale/$lang/LC_MESSAGES/velmo.mo); done
for size in 16 24 32 48 64 128 256; do expected+=(share/icons/hicolor/${size}x${size}/apps/$app.png); done
for f in "${expected[@]}"; do [[ -f $usr/$f ]] || fail "not installed: /usr/$f"; done
for f in bin/velmo bin/velmo-cli bin/zentro-sim; do [[ -x $usr/$f ]] || fail "not executable: /usr/$f"; done
# Nothing else: no headers, static libraries, tests or tools.
extra=$(cd "$usr" && find . -type f | sed 's|^\./||' | sort | comm -23 - <(printf '%s\n' "${expected[@]}" | sort))
[[ -z $extra ]] || fail "installed but not expected: $extra"

# The installed programs and libraries load nothing from the current folder.
"$source/tests/runpath_check.sh" "$usr/bin/velmo-cli" "$usr" >/dev/null || fail "the installed run paths"

# Each PNG is as large as its theme folder says (width and height in IHDR).
for size in 16 24 32 48 64 128 256; do
  png=$usr/share/icons/hicolor/${size}x${size}/apps/$app.png
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print ($1*16777216+$2*65536+$3*256+$4) "x" ($5*16777216+$6*65536+$7*256+$8)}')
  [[ $dims == "${size}x${size}" ]] || fail "$png is $dims"
done
grep -q '<svg' "$usr/share/icons/hicolor/scalable/apps/$app.svg" || fail "the scalable icon is no SVG"

# The validators: any remark at all fails, hints included.
out=$(desktop-file-validate "$usr/share/applications/$app.desktop" 2>&1) || fail "desktop-file-validate: $out"
[[ -z $out ]] || fail "desktop-file-validate: $out"
grep -qx 'Exec=velmo --from-menu %F' "$usr/share/applications/$app.desktop" ||
  fail "the menu entry does not pass --from-menu and the files (%F)"
grep -qx "Icon=$app" "$usr/share/applications/$app.desktop" || fail "the menu entry names another icon"
# The menu entry and the software centre in the user's language.
for lang in "${languages[@]}"; do
  for key in Name GenericName Comment Keywords; do
    grep -q "^$key\[$lang\]=." "$usr/share/applications/$app.desktop" || fail "the menu entry has no $key[$lang]"
  done
  for element in name summary; do
    grep -q "<$element xml:lang=\"$lang\">" "$usr/share/metainfo/$app.metainfo.xml" ||
      fail "the AppStream description has no $element in $lang"
  done
done
out=$(appstreamcli validate --pedantic --no-net "$usr/share/metainfo/$app.metainfo.xml" 2>&1) ||
  fail "appstreamcli: $out"
if grep -qE '^[EWIP]: ' <<<"$out"; then fail "appstreamcli: $out"; fi
grep -q "<release version=\"$("$usr/bin/velmo-cli" --version | cut -d' ' -f2)\"" \
  "$usr/share/metainfo/$app.metainfo.xml" || fail "no release entry for this version"

for page in velmo velmo-cli zentro-sim; do
  file=$usr/share/man/man1/$page.1.gz
  warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man $page: $warnings"
  MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q "EXIT STATUS" || fail "man $page has no EXIT STATUS"
  zgrep -q '@PROJECT_VERSION@' "$file" && fail "man $page: the version was not filled in"
done
# Both pages name the formats; velmo-cli's names the exit statuses of a signal.
for page in velmo velmo-cli; do
  text=$(MANWIDTH=80 man -l "$usr/share/man/man1/$page.1.gz" 2>/dev/null)
  grep -q 'FLAC' <<<"$text" && grep -q '\.opus' <<<"$text" || fail "man $page does not name the formats"
done
for status in 130 143; do
  MANWIDTH=80 man -l "$usr/share/man/man1/velmo-cli.1.gz" 2>/dev/null | grep -qE "^ {7}$status( |$)" ||
    fail "velmo-cli.1 does not describe exit status $status"
done

# Every option of the window's context menu has its entry in velmo(1).
for option in "Verify after Download" "Verify Every Byte" "Names from Tags" "Even Volume" \
  "Check Reload by reading twice"; do
  MANWIDTH=80 man -l "$usr/share/man/man1/velmo.1.gz" 2>/dev/null | grep -qE "^ {7}$option\$" ||
    fail "velmo.1 does not describe the option $option"
done

# Every command of velmo-cli, and every command of zentro-sim, has its entry.
for command in status list add drop delete up down quality names volume verify reload-check download reload firmware erase \
  image inspect help; do
  MANWIDTH=80 man -l "$usr/share/man/man1/velmo-cli.1.gz" 2>/dev/null | grep -qE "^ {7}$command( |$)" ||
    fail "velmo-cli.1 does not describe $command"
done
for command in status plug unplug storage-code delay fault header extract erase-all; do
  MANWIDTH=80 man -l "$usr/share/man/man1/zentro-sim.1.gz" 2>/dev/null | grep -qE "^ {7}.*\b$command\b" ||
    fail "zentro-sim.1 does not describe $command"
done

# The completion, as bash runs it on a TAB.
if [[ -f /usr/share/bash-completion/bash_completion ]]; then
  complete_words() {
    bash -c '
      source /usr/share/bash-completion/bash_completion
      source "$1"
      shift
      COMP_WORDS=("$@")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE="${COMP_WORDS[*]}"
      COMP_POINT=${#COMP_LINE}
      _velmo_cli velmo-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
      printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | tr "\n" " "
    ' _ "$usr/share/bash-completion/completions/velmo-cli" "$@"
  }
  [[ $(complete_words velmo-cli qu) == "quality " ]] || fail "completion of a command: $(complete_words velmo-cli qu)"
  [[ $(complete_words velmo-cli quality "") == "best good normal " ]] || fail "completion of a quality"
  [[ $(complete_words velmo-cli verify "") == "off on " ]] || fail "completion of verify"
  [[ $(complete_words velmo-cli --dir /tmp quality n) == "normal " ]] || fail "completion after --dir"
  [[ $(complete_words velmo-cli download --v) == "--verify " ]] || fail "completion of an option"
  [[ $(complete_words velmo-cli --ver) == "--version " ]] || fail "completion of a global option"
  [[ $(complete_words velmo-cli --jo) == "--jobs " ]] || fail "completion of --jobs"
  [[ $(complete_words velmo-cli image --jo) == "--jobs " ]] || fail "completion of image's --jobs"
  [[ $(complete_words velmo-cli --jobs 1) == 1* ]] || fail "completion of --jobs' value"
  [[ $(complete_words velmo-cli --jobs 2 qu) == "quality " ]] || fail "completion after --jobs"
  mkdir -p "$scratch/files/album" && touch "$scratch/files/a.mp3" "$scratch/files/b.wav" "$scratch/files/c.txt" \
    "$scratch/files/d.flac" "$scratch/files/E.OPUS"
  got=$(cd "$scratch/files" && complete_words velmo-cli add "")
  [[ $got == "E.OPUS a.mp3 album b.wav d.flac " ]] || fail "completion of song files and folders: $got"
  got=$(cd "$scratch/files" && complete_words velmo-cli drop d)
  [[ $got == "d.flac " ]] || fail "completion of a .flac file: $got"
  touch "$scratch/files/spn.bin" "$scratch/files/clock.BIN"
  got=$(cd "$scratch/files" && complete_words velmo-cli firmware "")
  [[ $got == "album clock.BIN " ]] || fail "completion of a firmware file without the agent program: $got"
else
  echo "bash-completion is not installed: the completion is not tried"
fi

# The installed programs, from an empty folder, on a simulated clock of their own.
for program in velmo velmo-cli zentro-sim; do
  [[ $("$usr/bin/$program" --version) =~ ^$program\ [0-9]+\.[0-9]+ ]] || fail "$program --version"
done
export ZENTRO_SIM_DIR=$scratch/sim
# Without --dir the installed velmo-cli keeps its list where the window
# started from the menu keeps its own: the user's data folder, made when
# missing, whatever folder it is started in.
export XDG_DATA_HOME=$scratch/data
data=$XDG_DATA_HOME/velmo
work=$scratch/work
mkdir -p "$work"
cp "$source/tests/data/l3_44100_cbr128_stereo.mp3" "$scratch/Morning Walk.mp3"
(cd "$work" && "$usr/bin/zentro-sim" delay off >/dev/null)
(cd "$work" && "$usr/bin/velmo-cli" add "../Morning Walk.mp3" >/dev/null) || fail "installed velmo-cli add"
[[ -f $data/zt_hdr.tbl ]] || fail "the installed velmo-cli did not keep its list in $data"
[[ -z $(ls -A "$work") ]] || fail "the installed velmo-cli wrote in the folder it was started in: $(ls -A "$work")"
[[ $(stat -c %a "$data") == 700 ]] || fail "the data folder was made with mode $(stat -c %a "$data")"
(cd / && "$usr/bin/velmo-cli" list) | grep -q "Morning Walk.mp3" || fail "the list is not the same from another folder"
(cd "$work" && "$usr/bin/velmo-cli" download --yes --verify >/dev/null 2>"$scratch/err") ||
  fail "installed velmo-cli download: $(cat "$scratch/err")"
[[ ! -e $data/spn.bin ]] || fail "the agent was copied into the start folder"
# Without XDG_DATA_HOME: ~/.local/share/velmo, as the window's.
(cd "$work" && env -u XDG_DATA_HOME HOME="$scratch/home" "$usr/bin/velmo-cli" names tags >/dev/null) ||
  fail "installed velmo-cli names tags with HOME only"
grep -qx "namesFromTags=1" "$scratch/home/.local/share/velmo/velmo.conf" ||
  fail "without XDG_DATA_HOME the options are not in ~/.local/share/velmo"
# --dir still chooses the folder.
"$usr/bin/velmo-cli" --dir "$work" add "$scratch/Morning Walk.mp3" >/dev/null || fail "installed velmo-cli --dir add"
[[ -f $work/zt_hdr.tbl ]] || fail "--dir did not choose the start folder"
"$usr/bin/zentro-sim" header | grep -q "Morning Walk" || fail "the song is not on the clock"
# The installed catalogues: each language from share/locale/.
for pair in "de:Qualität: Gut (4)" "fr:Qualité : Bonne (4)" "es:Calidad: Buena (4)"; do
  (cd "$work" && LANGUAGE=${pair%%:*} "$usr/bin/velmo-cli" list) | grep -qxF "${pair#*:}" ||
    fail "installed velmo-cli does not speak ${pair%%:*}"
done
(cd "$work" && LANGUAGE=C "$usr/bin/velmo-cli" list) | grep -qxF "Quality: Good (4)" || fail "velmo-cli in English"

# Without an installed agent and without one in the start folder, the
# missing agent is named.
rm "$usr/lib/velmo/spn.bin"
(cd "$work" && "$usr/bin/velmo-cli" status >/dev/null 2>"$scratch/err") && fail "status without an agent succeeded"
grep -q "spn.bin (the clock's agent program) is missing, and so is the installed copy in $usr/lib/velmo" \
  "$scratch/err" || fail "no agent message: $(cat "$scratch/err")"
echo "installed layout checked"
