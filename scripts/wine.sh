#!/usr/bin/env bash
# The Wine set-up of the Windows tests. Usage:
#   scripts/wine.sh start <prefix folder>   # a prefix of our own and a persistent wineserver
#   scripts/wine.sh stop <prefix folder>    # ends that prefix's wineserver (and its programs)
# Headless: no display, no Wine debug output. Each test program then starts in a fraction of a
# second instead of ~2.6 s. The output of wineserver and wineboot goes to files in the prefix,
# never to a pipe (a pipe would stay open as long as the server runs).
set -euo pipefail
command=${1:?usage: wine.sh start|stop <prefix folder>}
prefix=${2:?usage: wine.sh start|stop <prefix folder>}
export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
case "$command" in
start)
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -p >"$WINEPREFIX/wineserver.log" 2>&1
  # Creates or updates the prefix (~5 s and ~700 MB the first time) and waits until it is ready.
  if ! timeout 300 wineboot -i >"$WINEPREFIX/wineboot.log" 2>&1; then
    echo "wine.sh: wineboot failed in $WINEPREFIX (see $WINEPREFIX/wineboot.log)" >&2
    wineserver -k >/dev/null 2>&1 || true
    exit 1
  fi
  ;;
stop)
  [ -d "$WINEPREFIX" ] || exit 0
  wineserver -k >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: wine.sh start|stop <prefix folder>" >&2
  exit 2
  ;;
esac
