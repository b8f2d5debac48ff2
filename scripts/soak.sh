#!/usr/bin/env bash
# The soak (not part of scripts/test.sh): 4 clients, one per connection letter (H, T, B, U), make
# mixed calls (reads, writes, uploads, procedure calls) through libQorvinClient.so against two
# qorvin-server processes on a throw-away PostgreSQL cluster, load-balanced with fail-over; one
# server is killed and started again twice on the way. Afterwards every write is checked in the
# database (see bench/soak/soak_client.cpp) and the surviving server's memory must be flat.
#
#   scripts/soak.sh [CALLS_PER_CLIENT [CLIENTS [KILLS]]]   default 2000 calls, 4 clients, 2 kills
#
# Builds what it needs in build/ (BUILD_DIR to change it). Bounded: the driver gets at most
# 10 minutes plus 50 ms per call. Exit status 0 when every check holds.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
calls=${1:-2000}
clients=${2:-4}
kills=${3:-2}

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target soak_client qorvin-server QorvinClient

work=$(mktemp -d /tmp/qorvin-soak.XXXXXX)
cluster=$(mktemp -u /tmp/qorvin-soak-pg.XXXXXX)
cleanup() {
  "$root/scripts/pg-cluster.sh" stop "$cluster" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

url=$("$root/scripts/pg-cluster.sh" start "$cluster")
status=0
timeout --kill-after=30 $((600 + calls * clients / 20)) "$build/bench/soak/soak_client" \
  --library "$build/client/libQorvinClient.so" --server "$build/server/qorvin-server" \
  --db "$url" --work "$work" --clients "$clients" --calls "$calls" --kills "$kills" || status=$?
if [ "$status" -ne 0 ]; then
  echo "soak: exit status $status; the servers' logs:" >&2
  tail -n 20 "$work"/server-*.log >&2 || true
fi
exit "$status"
