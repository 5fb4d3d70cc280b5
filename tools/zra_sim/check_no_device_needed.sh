#!/usr/bin/env bash
# Fails when the shared library would need a device library at load time: it
# must load, and host profiling must work, on a machine without them. A file
# that cannot be read as a shared library fails too: nothing was checked.
set -euo pipefail
if ! dynamic=$(readelf -d "$1" 2>&1); then
  echo "cannot read the load-time dependencies of $1: $dynamic"
  exit 1
fi
if grep NEEDED <<< "$dynamic" | grep -E 'lib(dravik|vorund|morvel)\.so'; then
  echo "device library among the load-time dependencies of $1"
  exit 1
fi
echo "no device library needed"
