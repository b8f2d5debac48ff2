#!/usr/bin/env bash
# Configures and builds one build folder. Usage: scripts/build.sh <folder> [cmake options...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
cmake -S "$root" -B "$root/$dir" -G Ninja "$@" >/dev/null
ninja -C "$root/$dir"
