#!/usr/bin/env bash
# The test command: installs what is missing, builds the project twice (a normal optimised build
# and one with AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

jobs=$(nproc)
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DQORVIN_SANITIZE=ON -DQORVIN_BENCH=OFF

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for dir in build build-asan; do
  echo "== tests in $dir =="
  ctest --test-dir "$root/$dir" --output-on-failure -j "$jobs"
done
