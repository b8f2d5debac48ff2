#!/usr/bin/env bash
# Builds one libFuzzer target with clang and runs it. Usage: scripts/fuzz.sh <name> [seconds]
#
# <name> is a file fuzz/fuzz_<name>.cpp (without arguments the names are listed). The fuzzer
# starts from the checked-in seeds in fuzz/corpus/<name>/ (read, never written) and keeps what it
# finds new in build-fuzz/corpus-<name>/; a crashing, leaking or hanging input goes to
# build-fuzz/findings-<name>/. Once the decoder is mended, copy that input into fuzz/corpus/<name>/:
# the test run replays every file there (ctest's fuzz_<name>), so it stays mended.
# Each input may take at most 30 s (longer is reported as a hang) and 512 MB of memory, one
# allocation at most 256 MB: an input that claims more than that is a finding, not a slow run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 1 ]; then
  echo "usage: $0 <name> [seconds]; names:" >&2
  ls "$root"/fuzz/fuzz_*.cpp | sed -E 's|.*/fuzz_(.*)\.cpp|  \1|' >&2
  exit 2
fi
name=$1
seconds=${2:-60}
[ -f "$root/fuzz/fuzz_$name.cpp" ] || { echo "fuzz: no fuzz/fuzz_$name.cpp" >&2; exit 2; }
CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DQORVIN_FUZZ=ON \
  -DQORVIN_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$root/build-fuzz" "fuzz_$name"
mkdir -p "$root/build-fuzz/corpus-$name" "$root/build-fuzz/findings-$name"
"$root/build-fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
  -rss_limit_mb=512 -malloc_limit_mb=256 \
  -artifact_prefix="$root/build-fuzz/findings-$name/" "$root/build-fuzz/corpus-$name" \
  "$root/fuzz/corpus/$name"
