#!/usr/bin/env bash
# The test command: installs what is missing, builds the project twice (a normal optimised build
# and one with AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
#
# The PostgreSQL tests run against a throw-away cluster that this script starts before the tests
# (scripts/pg-cluster.sh, in a folder under /tmp) and always stops and deletes on exit; its URL
# reaches the tests as QORVIN_PG_URL. A cluster that does not start fails the whole command.
# With QORVIN_PG_URL already set, that database is used instead and no cluster is started; with
# QORVIN_NO_POSTGRES=1 no cluster is started and the PostgreSQL tests skip (said loudly below).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

pg_dir=""
stop_cluster() {
  if [ -n "$pg_dir" ]; then
    "$root/scripts/pg-cluster.sh" stop "$pg_dir" ||
      echo "test: the PostgreSQL cluster in $pg_dir could not be stopped" >&2
    pg_dir=""
  fi
}
trap stop_cluster EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "${QORVIN_PG_URL:-}" ]; then
  echo "== PostgreSQL: the database named by QORVIN_PG_URL =="
elif [ "${QORVIN_NO_POSTGRES:-}" = 1 ]; then
  echo "== PostgreSQL: none (QORVIN_NO_POSTGRES=1): ITS TESTS ARE SKIPPED ==" >&2
else
  pg_dir=$(mktemp -d /tmp/qorvin-pg.XXXXXX)
  if ! QORVIN_PG_URL=$("$root/scripts/pg-cluster.sh" start "$pg_dir"); then
    echo "test: FAILED: the PostgreSQL cluster for the tests did not start (see above)." >&2
    echo "test: (QORVIN_NO_POSTGRES=1 runs the tests without PostgreSQL.)" >&2
    exit 1
  fi
  export QORVIN_PG_URL
  echo "== PostgreSQL: throw-away cluster in $pg_dir =="
fi

jobs=$(nproc)
"$root/scripts/build.sh" build -DCMAKE_BUILD_TYPE=RelWithDebInfo
"$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DQORVIN_SANITIZE=ON -DQORVIN_BENCH=OFF

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for dir in build build-asan; do
  echo "== tests in $dir =="
  ctest --test-dir "$root/$dir" --output-on-failure -j "$jobs"
done
