#!/usr/bin/env bash
# Set up, build and run every test. --sanitize: a separate tree built with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")"

if [[ ${1:-} == --sanitize ]]; then
  dir=build-sanitize
  scripts/setup.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_SANITIZE=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  dir=build
  scripts/setup.sh "$dir" -DCMAKE_BUILD_TYPE=Release
fi

export QT_QPA_PLATFORM=offscreen
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
