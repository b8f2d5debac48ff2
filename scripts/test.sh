#!/usr/bin/env bash
# The test command: installs what is missing, builds the project twice (a normal optimised build
# and one with AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both; then
# cross-builds the Windows client (mingw-w64, build-win) and runs its tests under Wine.
#
# The PostgreSQL tests run against a throw-away cluster that this script starts before the tests
# (scripts/pg-cluster.sh, in a folder under /tmp) and always stops and deletes on exit; its URL
# reaches the tests as QORVIN_PG_URL. A cluster that does not start fails the whole command.
# With QORVIN_PG_URL already set, that database is used instead and no cluster is started; with
# QORVIN_NO_POSTGRES=1 no cluster is started and the PostgreSQL tests skip (said loudly below).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

# shellcheck source=lib/postgres-for-tests.sh
. "$root/scripts/lib/postgres-for-tests.sh"
trap 'postgres_for_tests_stop test' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
postgres_for_tests_start test || exit 1

# Every build is made and tested even when another fails to build or fails a test; every
# failure is listed once at the end, and the exit status is non-zero when there was any. ctest's
# own lines ("100% tests passed, 0 tests failed out of N") stay in the output.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$root/scripts/lsan-suppressions.txt"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
jobs=$(nproc)
failures=()

# Runs the tests of build folder $1 and adds every failed test to `failures`.
run_tests() {
  local dir=$1 log status failed
  echo "== tests in $dir =="
  log=$(mktemp)
  set +e
  ctest --test-dir "$root/$dir" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -ne 0 ]; then
    # ctest lists the failed tests after "The following tests FAILED:", one per line.
    failed=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' |
      sed -E 's/^[[:space:]]+//' || true)
    if [ -n "$failed" ]; then
      while IFS= read -r line; do failures+=("$dir: $line"); done <<<"$failed"
    else
      failures+=("$dir: ctest ended with status $status")
    fi
  fi
  rm -f "$log"
}

# The options are given whole, so that a build folder that scripts/run.sh configured for the tour
# alone (no tests, no benchmarks) builds everything here.
for spec in "build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORVIN_TESTS=ON -DQORVIN_BENCH=ON" \
  "build-asan -DCMAKE_BUILD_TYPE=Debug -DQORVIN_SANITIZE=ON -DQORVIN_BENCH=OFF -DQORVIN_TESTS=ON"; do
  read -r dir options <<<"$spec"
  echo "== build $dir =="
  # shellcheck disable=SC2086 # the options are separate words
  if ! "$root/scripts/build.sh" "$dir" $options; then
    failures+=("$dir: the build failed (its tests did not run)")
    continue
  fi
  run_tests "$dir"
done

# The Windows build: QorvinClient.dll cross-built with mingw-w64 and its tests run under Wine
# (scripts/wine.sh: a prefix of our own inside the build folder, one persistent wineserver for
# all test programs, stopped on every way out).
echo "== build build-win (Windows x86-64) =="
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
  failures+=("build-win: the mingw-w64 compiler or Wine is missing (scripts/setup.sh installs them)")
elif ! "$root/scripts/build.sh" build-win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQORVIN_LINUX_BUILD_DIR="$root/build"; then
  failures+=("build-win: the build failed (its tests did not run)")
elif ! "$root/scripts/wine.sh" start "$root/build-win/wine"; then
  failures+=("build-win: Wine did not start (its tests did not run)")
else
  trap '"$root/scripts/wine.sh" stop "$root/build-win/wine"; postgres_for_tests_stop test' EXIT
  # Headless, and straight to loopback: Wine's HTTP stack honours http_proxy but not no_proxy.
  export WINEPREFIX="$root/build-win/wine" WINEDEBUG=-all
  unset DISPLAY WAYLAND_DISPLAY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
  run_tests build-win
  "$root/scripts/wine.sh" stop "$root/build-win/wine"
  trap 'postgres_for_tests_stop test' EXIT
fi

echo
if [ ${#failures[@]} -eq 0 ]; then
  echo "== test: every build built and every test passed =="
  exit 0
fi
echo "== test: FAILED (${#failures[@]}) ==" >&2
for f in "${failures[@]}"; do echo "  $f" >&2; done
exit 1
