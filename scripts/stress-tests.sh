#!/usr/bin/env bash
# The tests under load: runs the whole suite N times while busy loops keep every core loaded, and
# counts the failures of each test. A test that fails here depends on timing or on an idle machine.
#
#   scripts/stress-tests.sh N [both|build|build-asan]
#
# The builds are made first when missing or stale (scripts/build.sh, as test.sh makes them; the
# default `both` takes build/ and build-asan/). PostgreSQL as in test.sh: a throw-away cluster,
# or the database named by QORVIN_PG_URL, or none with QORVIN_NO_POSTGRES=1.
#
# Bounds: each ctest run is stopped after QORVIN_STRESS_ROUND_SECONDS (default 1800) and counts
# as failed; every test has its own ctest time-out besides. QORVIN_STRESS_LOADERS sets how many
# busy loops run (default: one per core). The logs of failed runs are kept in a folder named at
# the end. Exit status 0 only when every run of every test passed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:?usage: scripts/stress-tests.sh N [both|build|build-asan]}
which=${2:-both}
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "stress: N must be a positive number" >&2; exit 2; }
case "$which" in
  both) builds=(build build-asan) ;;
  build | build-asan) builds=("$which") ;;
  *) echo "stress: unknown build '$which' (both, build or build-asan)" >&2; exit 2 ;;
esac
round_seconds=${QORVIN_STRESS_ROUND_SECONDS:-1800}
loaders=${QORVIN_STRESS_LOADERS:-$(nproc)}

for dir in "${builds[@]}"; do
  if [ "$dir" = build ]; then
    "$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  else
    "$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DQORVIN_SANITIZE=ON \
      -DQORVIN_BENCH=OFF
  fi
done

logs=$(mktemp -d /tmp/qorvin-stress.XXXXXX)
# shellcheck source=lib/postgres-for-tests.sh
. "$root/scripts/lib/postgres-for-tests.sh"
loader_pids=()
finish() {
  local pid
  for pid in "${loader_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${loader_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  loader_pids=()
  postgres_for_tests_stop stress
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

postgres_for_tests_start stress || exit 1

# The load: one busy loop per core, at the tests' own priority.
for _ in $(seq 1 "$loaders"); do
  (while :; do :; done) &
  loader_pids+=($!)
done
echo "== stress: $rounds rounds of ${builds[*]} with $loaders busy loops (logs: $logs) =="

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS="suppressions=$root/scripts/lsan-suppressions.txt"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
declare -A failed_count=()
bump() { failed_count["$1"]=$((${failed_count["$1"]:-0} + 1)); }
runs=0
bad_runs=0
started=$SECONDS
for round in $(seq 1 "$rounds"); do
  for dir in "${builds[@]}"; do
    runs=$((runs + 1))
    log="$logs/round$round-$dir.log"
    t0=$SECONDS
    set +e
    timeout --kill-after=30 "$round_seconds" \
      ctest --test-dir "$root/$dir" --output-on-failure -j "$(nproc)" >"$log" 2>&1
    status=$?
    set -e
    summary=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1 || true)
    if [ "$status" -eq 0 ]; then
      echo "round $round $dir: ${summary:-passed} ($((SECONDS - t0)) s)"
      rm -f "$log"
      continue
    fi
    bad_runs=$((bad_runs + 1))
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
      bump "$dir: (the run exceeded ${round_seconds} s)"
    fi
    names=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^[[:space:]]+[0-9]+ - ' |
      sed -E 's/^[[:space:]]+[0-9]+ - //' || true)
    while IFS= read -r name; do
      [ -n "$name" ] || continue
      bump "$dir: $name"
    done <<<"$names"
    # The failed cases inside the test programs (GoogleTest's "[  FAILED  ] Suite.Case (N ms)").
    cases=$(grep -oE '^\[  FAILED  \] [^ ]+ \([0-9]+ ms\)' "$log" | sed -E 's/^\[  FAILED  \] ([^ ]+).*/\1/' |
      sort -u || true)
    while IFS= read -r name; do
      [ -n "$name" ] || continue
      bump "$dir:   case $name"
    done <<<"$cases"
    echo "round $round $dir: FAILED, status $status: ${summary:-no summary} ($((SECONDS - t0)) s; $log)"
  done
done

echo
echo "== stress: $runs runs in $((SECONDS - started)) s, $bad_runs with failures =="
if [ "$bad_runs" -eq 0 ]; then
  rmdir "$logs" 2>/dev/null || true
  exit 0
fi
echo "failures per test (of $rounds runs each):"
for key in "${!failed_count[@]}"; do echo "  ${failed_count[$key]}  $key"; done | sort -rn
echo "logs of the failed runs: $logs"
exit 1
