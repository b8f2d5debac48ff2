#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the demo tour (scripts/tour.sh):
# qorvin-server on SQLite with a sample schema, and the qorvin host over all four connection
# letters.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/scripts/tour.sh"
