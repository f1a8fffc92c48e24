#!/usr/bin/env bash
# Set up, build and run every test. --sanitize: a separate tree built with
# AddressSanitizer and UndefinedBehaviorSanitizer. --tsan: a separate tree
# built with ThreadSanitizer, for the tests whose code runs worker threads
# (core, conversion, device and window).
set -euo pipefail
cd "$(dirname "$0")"

if [[ ${1:-} == --sanitize ]]; then
  dir=build-sanitize
  scripts/setup.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_SANITIZE=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
elif [[ ${1:-} == --tsan ]]; then
  dir=build-tsan
  scripts/setup.sh "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_TSAN=ON "-DVELMO_TEST_DIRS=core;convert;device;window"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/tests/tsan.supp"
else
  dir=build
  scripts/setup.sh "$dir" -DCMAKE_BUILD_TYPE=Release
fi

export QT_QPA_PLATFORM=offscreen
cd "$dir"
ctest --output-on-failure -j"$(nproc)"
