#!/usr/bin/env bash
# Sanitizer runs. Usage: tools/sanitize.sh asan|tsan|all
#   asan: C++ tests and the whole pytest suite with AddressSanitizer + UndefinedBehaviorSanitizer
#         (the module is built with the system allocator; the interpreter preloads libasan)
#   tsan: C++ tests with ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-all}"
jobs="${JOBS:-2}"

run_asan() {
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_BUILD_TESTS=ON \
    -DQUILLMARSH_BUILD_MODULE=ON -DQUILLMARSH_SANITIZE=address,undefined >/dev/null
  cmake --build build/asan -j"$jobs"
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan --output-on-failure -j"$jobs"
  # Leak detection stays off for the interpreter's own allocations; the module's leaks are
  # checked by the C++ tests above and by the resource tests.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$PWD/build/asan/python" \
    python3 -m pytest tests/python -q -p no:cacheprovider -x
}

run_tsan() {
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_BUILD_TESTS=ON \
    -DQUILLMARSH_SANITIZE=thread >/dev/null
  cmake --build build/tsan -j"$jobs"
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir build/tsan --output-on-failure -j"$jobs"
}

case "$mode" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 asan|tsan|all" >&2; exit 2 ;;
esac
