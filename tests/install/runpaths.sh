#!/bin/sh
# Fails when a RUNPATH (or RPATH) of the given programs and libraries has an empty entry, which the
# dynamic loader takes for the current directory: the program would load libraries from wherever
# it was started.
#   runpaths.sh FILE...
status=0
for file in "$@"; do
  paths=$(readelf -d "$file" | sed -n 's/.*(R[UN]*PATH).*\[\(.*\)\]$/\1/p')
  case ":$paths:" in
    *::*) echo "$file: empty entry in its RUNPATH [$paths]"; status=1 ;;
  esac
done
exit $status
