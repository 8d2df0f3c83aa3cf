#!/usr/bin/env bash
# The wheel must be abi3 with no stable-ABI violation in any of its extension modules, and
# each module must export only its own init function: PyInit_quillmarsh for the class,
# PyInit__engine for the toolkit's engine.
set -euo pipefail
wheel="$1"
case "$wheel" in *-abi3-*) ;; *) echo "not an abi3 wheel: $wheel" >&2; exit 1 ;; esac
abi3audit --strict --report "$wheel"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 -m zipfile -e "$wheel" "$tmp"

check_exports() {  # <path pattern under the wheel> <the one symbol it may export>
  local so
  so=$(find "$tmp" -path "$tmp/$1")
  if [[ -z "$so" || $(wc -l <<<"$so") -ne 1 ]]; then
    echo "expected exactly one module matching $1 in $wheel, found: ${so:-none}" >&2
    exit 1
  fi
  local exported
  exported=$(nm -D --defined-only "$so" | awk '{print $NF}' | sort)
  if [[ "$exported" != "$2" ]]; then
    echo "unexpected exported symbols in $so:" >&2
    echo "$exported" >&2
    exit 1
  fi
  echo "exports of ${so#"$tmp"/}: $exported"
}
check_exports 'quillmarsh.*.so' PyInit_quillmarsh
check_exports 'quillmarsh_kit/_engine.*.so' PyInit__engine
