#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the contract tour.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/build/tools/contract-tour"
