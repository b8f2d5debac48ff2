#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demo tour (scripts/tour.sh):
# qorvin-server on SQLite with a sample schema, and the qorvin host over all four connection
# letters. It installs and builds only what the tour runs (the two programs and the client
# library): no tests, benchmarks or fuzz targets. scripts/test.sh builds the rest in the same
# build folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --tour
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORVIN_TESTS=OFF \
  -DQORVIN_BENCH=OFF >/dev/null
ninja -C "$root/build" qorvin qorvin-server QorvinClient
"$root/scripts/tour.sh"
