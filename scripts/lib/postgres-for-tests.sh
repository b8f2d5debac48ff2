# Sourced by the scripts that run the test suite (test.sh, stress-tests.sh): the PostgreSQL the
# tests use. Needs $root (the project folder) set by the caller.
#
#   postgres_for_tests_start NAME   NAME prefixes the messages. With QORVIN_PG_URL already set,
#                                   that database is used; with QORVIN_NO_POSTGRES=1 none is (said
#                                   loudly: those tests skip); otherwise a throw-away cluster is
#                                   started in a new folder under /tmp and QORVIN_PG_URL exported.
#                                   Returns 1 when the cluster does not start.
#   postgres_for_tests_stop NAME    stops and deletes that cluster, if one was started; safe to call
#                                   more than once (the callers' EXIT traps).
pg_dir=""

postgres_for_tests_start() {
  local name=$1 url
  if [ -n "${QORVIN_PG_URL:-}" ]; then
    echo "== PostgreSQL: the database named by QORVIN_PG_URL =="
  elif [ "${QORVIN_NO_POSTGRES:-}" = 1 ]; then
    echo "== PostgreSQL: none (QORVIN_NO_POSTGRES=1): ITS TESTS ARE SKIPPED ==" >&2
  else
    pg_dir=$(mktemp -d /tmp/qorvin-pg.XXXXXX)
    if ! url=$("$root/scripts/pg-cluster.sh" start "$pg_dir"); then
      echo "$name: FAILED: the PostgreSQL cluster for the tests did not start (see above)." >&2
      echo "$name: (QORVIN_NO_POSTGRES=1 runs the tests without PostgreSQL.)" >&2
      return 1
    fi
    export QORVIN_PG_URL=$url
    echo "== PostgreSQL: throw-away cluster in $pg_dir =="
  fi
}

postgres_for_tests_stop() {
  local name=$1
  if [ -n "$pg_dir" ]; then
    "$root/scripts/pg-cluster.sh" stop "$pg_dir" ||
      echo "$name: the PostgreSQL cluster in $pg_dir could not be stopped" >&2
    pg_dir=""
  fi
}
