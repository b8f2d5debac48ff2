#!/usr/bin/env bash
# The demo tour: starts qorvin-server on an in-memory SQLite database holding the sample schema
# (ports chosen by the system), runs a few operations with the qorvin host over all four
# connection letters, and stops the server. Expects a build in build/ (scripts/run.sh makes it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
server="$root/build/server/qorvin-server"
qorvin="$root/build/tools/qorvin"
work=$(mktemp -d)
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

"$server" --schema "$root/server/sample/schema.sql" --procedures "$root/server/sample/procedures" \
  --http-port 0 --tcp-port 0 --udp-port 0 --quiet >"$work/ports" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 1 100); do
  grep -q 'listening' "$work/ports" 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log"; exit 1; }
  sleep 0.1
done
line=$(grep 'listening' "$work/ports") || { echo "qorvin-server did not start"; exit 1; }
http=$(sed -E 's/.* http=([0-9]+).*/\1/' <<<"$line")
tcp=$(sed -E 's/.* tcp=([0-9]+).*/\1/' <<<"$line")
udp=$(sed -E 's/.* udp=([0-9]+).*/\1/' <<<"$line")
echo "$line"

# One argument as the shell would need it typed: bare when it holds only safe characters, else in
# single quotes (a quote inside becomes '\'').
quote() {
  if [[ $1 =~ ^[A-Za-z0-9_./:=@,+%-]+$ ]]; then
    printf '%s' "$1"
  else
    printf "'%s'" "${1//\'/\'\\\'\'}"
  fi
}

# Shows a command as it can be pasted into a shell (from the project folder, while the tour's
# server runs), then runs it.
step() {
  local line="build/tools/qorvin" arg
  for arg in "$@"; do line+=" $(quote "$arg")"; done
  echo
  echo "\$ $line"
  "$qorvin" "$@"
}

printf 'Id:int,Name,City,Credit:float\n11,Ada,Leeds,120.5\n12,Brook,Graz,80\n' >"$work/new.csv"

step --connect "h://127.0.0.1:$http" --user demo read "select Id, Name, City, Credit from Customers order by Id"
step --connect "t://127.0.0.1:$tcp" --user demo exec-sql "update Customers set Credit = Credit + 1 where City = 'London'"
step --connect "b://127.0.0.1:$tcp" --user demo exec-proc-output "exec CustomerCount"
step --connect "u://127.0.0.1:$udp" --user demo insert-table AddCustomer "$work/new.csv" --success-return 1
step --connect "h://127.0.0.1:$http" --user demo --format json read "select Id, Name from Customers where Id > 10 order by Id"
step --connect "u://127.0.0.1:$udp" datetime
echo
echo "tour finished"
