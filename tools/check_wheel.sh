#!/usr/bin/env bash
# The wheel must be abi3 with no stable-ABI violation, and its module must export only
# PyInit_quillmarsh.
set -euo pipefail
wheel="$1"
case "$wheel" in *-abi3-*) ;; *) echo "not an abi3 wheel: $wheel" >&2; exit 1 ;; esac
abi3audit --strict --report "$wheel"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -m zipfile -e "$wheel" "$tmp"
so=$(find "$tmp" -name 'quillmarsh*.so')
exported=$(nm -D --defined-only "$so" | awk '{print $NF}' | sort)
if [[ "$exported" != "PyInit_quillmarsh" ]]; then
  echo "unexpected exported symbols in $so:" >&2
  echo "$exported" >&2
  exit 1
fi
echo "exports: $exported"
