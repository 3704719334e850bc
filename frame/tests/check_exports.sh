#!/usr/bin/env bash
# Fails when a shared library exports a C++ (mangled) symbol: every name
# that crosses a library boundary is extern "C".
set -u
status=0
for lib in "$@"; do
  [ -f "$lib" ] || { echo "missing: $lib"; status=1; continue; }
  bad=$(nm -D --defined-only "$lib" | awk '{print $NF}' | grep '^_Z' || true)
  if [ -n "$bad" ]; then
    echo "$lib exports C++ symbols:"; echo "$bad" | head -20; status=1
  else
    echo "$lib: $(nm -D --defined-only "$lib" | wc -l) symbols, all C"
  fi
done
exit $status
