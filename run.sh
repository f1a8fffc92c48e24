#!/usr/bin/env bash
# Install what is missing, build a Release tree in build/, and start Velmo on
# the simulated clock in workspace/ (the start folder; ignored by git).
set -euo pipefail
cd "$(dirname "$0")"
top=$(pwd)

scripts/setup.sh build -DCMAKE_BUILD_TYPE=Release

bin=$top/build/bin
workspace=$top/workspace
mkdir -p "$workspace"
[[ -f $bin/spn.bin ]] && cp "$bin/spn.bin" "$workspace/spn.bin"
export ZENTRO_SIM_DIR=$workspace/zentro-sim

if [[ ${1:-} != --demo && -x $bin/velmo && ( -n ${DISPLAY:-} || -n ${WAYLAND_DISPLAY:-} ) ]]; then
  cd "$workspace"
  exec "$bin/velmo"
fi

if [[ -x $top/scripts/demo.sh ]]; then
  [[ ${1:-} == --demo ]] || echo "No display found: running the terminal demo instead (velmo-cli)."
  exec "$top/scripts/demo.sh"
fi

echo "Built into build/bin. The window and the terminal front end are not built yet;"
echo "run ./test.sh to run the tests."
