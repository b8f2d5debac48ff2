#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it. Usage: scripts/fuzz.sh <name> [seconds]
# <name> is a file fuzz/fuzz_<name>.cpp; findings go to build-fuzz/findings-<name>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: scripts/fuzz.sh <name> [seconds]}
seconds=${2:-60}
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DQORVIN_FUZZ=ON \
  -DQORVIN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$root/build-fuzz" "fuzz_$name"
mkdir -p "$root/build-fuzz/corpus-$name" "$root/build-fuzz/findings-$name"
"$root/build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" \
  -artifact_prefix="$root/build-fuzz/findings-$name/" "$root/build-fuzz/corpus-$name"
