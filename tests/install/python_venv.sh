#!/usr/bin/env bash
# pip installs the Python module into a virtual environment, as docs/python.md says:
#
#   python_venv.sh PYTHON SOURCE_DIR CLIENT_LIBRARY
#
# The environment is made with --system-site-packages so that Debian's setuptools and pybind11
# build the extension; pip runs with --no-build-isolation --no-index, so nothing is fetched. The
# module is built from a copy of python/ and include/ (pip builds in the folder it is given),
# then imported from the environment outside any source folder, and a call through the loaded
# library to a port nothing listens on must fail as a transport failure. Exit 77 (skipped, with
# the reason) when no virtual environment can be made.
set -euo pipefail
python=$1
source_dir=$(cd "$2" && pwd)
library=$3
work=$(mktemp -d /tmp/qorvin-venv.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "python_venv: FAILED: $*" >&2
  exit 1
}

if ! "$python" -m venv --system-site-packages "$work/venv" >"$work/venv.log" 2>&1; then
  echo "python_venv: SKIPPED: $python -m venv cannot make an environment" \
    "($(tail -n 1 "$work/venv.log"); Debian: python3-venv)"
  exit 77
fi
mkdir -p "$work/src"
cp -r "$source_dir/python" "$source_dir/include" "$work/src/"
rm -rf "$work/src/python/build" "$work/src/python"/*.egg-info
PIP_NO_CACHE_DIR=1 "$work/venv/bin/python" -m pip install --no-build-isolation --no-index \
  --disable-pip-version-check -q "$work/src/python" >"$work/pip.log" 2>&1 || {
  cat "$work/pip.log"
  fail "pip install"
}
cd "$work"
QORVIN_CLIENT_LIBRARY=$library "$work/venv/bin/python" - "$work/venv" <<'PY' || fail "the installed module"
import socket
import sys

import qorvin

assert qorvin.__file__.startswith(sys.argv[1]), qorvin.__file__
s = socket.socket()
s.bind(("127.0.0.1", 0))  # bound, not listening: a connection is refused
try:
    con = qorvin.connect("t://127.0.0.1:%d" % s.getsockname()[1])
    try:
        con.cursor().execute("select 1")
    except qorvin.OperationalError as e:
        print("python_venv: the installed module loads the library:", e)
    else:
        raise AssertionError("a call to a closed port succeeded")
finally:
    s.close()
PY
echo "python_venv: passed"
