#!/usr/bin/env bash
# Fails when the shared library exports a symbol outside the zentrik namespace
# (what hidden visibility and the version script should keep inside).
set -euo pipefail
lib="$1"
symbols=$(nm -D --defined-only "$lib" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' | c++filt)
stray=$(printf '%s\n' "$symbols" | grep -v -E '^(zentrik::|typeinfo for zentrik::|typeinfo name for zentrik::|vtable for zentrik::)' | grep -v '^$' || true)
if [ -n "$stray" ]; then
  echo "symbols that should not leave the library:"
  printf '%s\n' "$stray"
  exit 1
fi
printf '%s\n' "$symbols" | grep -q 'zentrik::GetDataTypeStr' || { echo "GetDataTypeStr not exported"; exit 1; }
echo "exports ok: $(printf '%s\n' "$symbols" | wc -l) symbols"
