#!/usr/bin/env bash
# Install what is missing, build a Release tree in build/, and start Velmo on
# the simulated clock in workspace/ (the start folder; ignored by git).
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)

scripts/setup.sh build -DCMAKE_BUILD_TYPE=Release

bin=$top/build/bin
workspace=$top/workspace
mkdir -p "$workspace/zentro-sim"
[[ -f $bin/spn.bin ]] && cp "$bin/spn.bin" "$workspace/spn.bin"
export ZENTRO_SIM_DIR=$workspace/zentro-sim

if [[ ${1:-} != --demo && -x $bin/velmo ]]; then
  if [[ -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ]]; then
    # The window's start folder is the folder it is started in.
    cd "$workspace"
    exec "$bin/velmo"
  fi
  echo "No display found (neither DISPLAY nor WAYLAND_DISPLAY is set): the window cannot open here."
fi

if [[ -x $top/scripts/demo.sh ]]; then
  [[ ${1:-} == --demo ]] || echo "Running the terminal demo instead (velmo-cli, ./run.sh --demo)."
  exec "$top/scripts/demo.sh"
fi

echo "Headless: the terminal front end build/bin/velmo-cli, or ./test.sh, which also"
echo "drives the window on Qt's offscreen platform."
