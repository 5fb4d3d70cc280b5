#!/usr/bin/env bash
# Fails when the shared library would need a device library at load time: it
# must load, and host profiling must work, on a machine without them.
set -euo pipefail
needed=$(readelf -d "$1" | grep NEEDED || true)
if grep -E 'lib(dravik|vorund|morvel)\.so' <<< "$needed"; then
  echo "device library among the load-time dependencies of $1"
  exit 1
fi
echo "no device library needed"
