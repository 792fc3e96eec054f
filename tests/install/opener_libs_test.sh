#!/usr/bin/env bash
# The opener loads the C library and nothing else: the shared objects ldd
# lists for it are the vDSO, the loader and libc.so.6 (a static build lists
# none). Everything the opener needs beyond libc is linked in or its own.
#
#   bash opener_libs_test.sh OPENER
set -euo pipefail
opener=$1
[ -x "$opener" ] || { echo "FAIL: no opener at $opener"; exit 1; }
out=$(ldd "$opener" 2>&1) || true
if [[ $out == *"not a dynamic executable"* || $out == *"statically linked"* ]]; then
  echo "ok: statically linked"
  exit 0
fi
extra=$(printf '%s\n' "$out" | grep -v -E '^\s*(linux-vdso\.so\.1|/lib(64)?/ld-linux[^ ]*\.so\.[0-9]+|libc\.so\.6 => )' || true)
if [ -n "$extra" ]; then
  echo "FAIL: the opener loads more than libc:"
  printf '%s\n' "$extra"
  exit 1
fi
printf '%s\n' "$out" | grep -q 'libc\.so\.6 => ' || { echo "FAIL: ldd output not understood:"; printf '%s\n' "$out"; exit 1; }
echo "ok: $(printf '%s\n' "$out" | wc -l) objects: vDSO, loader, libc"
