#!/usr/bin/env bash
# Sanitizer runs. Usage: tools/sanitize.sh asan|tsan|all
#   asan: AddressSanitizer + UndefinedBehaviorSanitizer build of the core and the extension;
#         runs the C++ tests (leak detection on) and the whole pytest suite under the
#         interpreter with the sanitizer runtime preloaded.
#   tsan: ThreadSanitizer build of the core; runs the concurrency tests and the concurrent-use
#         driver (several trees at once on one worker pool, forest training, many-threaded
#         prediction), then the remaining C++ tests.
# Environment:
#   BUILD_PREFIX  build directories are ${BUILD_PREFIX}asan and ${BUILD_PREFIX}tsan
#                 (default build/)
#   JOBS          parallel compile and test jobs (default 2)
#   SANITIZE_QUICK=1  CI size: the concurrent-use driver on smaller data and the TSan run
#                 limited to the concurrency and concurrent-use tests
# Any sanitizer report fails the run: ASan and UBSan halt on the first error, TSan exits with
# status 66 on the first race.
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-all}"
jobs="${JOBS:-2}"
prefix="${BUILD_PREFIX:-build/}"
quick="${SANITIZE_QUICK:-0}"

elapsed() { echo "== $1: $((SECONDS - $2)) s"; }

# Leaks of the module's own allocations are reported; the interpreter's are not (it frees
# little at exit). A leak is the interpreter's when the innermost frames of its allocation
# lie in the interpreter, which the short malloc context below keeps to the allocating code.
write_lsan_suppressions() {
  local file="$1"
  local python_bin libpython
  python_bin="$(python3 -c 'import os, sys; print(os.path.basename(os.path.realpath(sys.executable)))')"
  libpython="$(python3 -c 'import sysconfig; print(sysconfig.get_config_var("LDLIBRARY") or "")')"
  {
    echo "leak:${python_bin}"
    [[ -n "$libpython" ]] && echo "leak:${libpython}"
    echo "leak:_PyObject_"
    echo "leak:_PyMem_"
    echo "leak:PyMem_"
    echo "leak:PyObject_Malloc"
    echo "leak:lib-dynload"
    echo "leak:site-packages"
  } >"$file"
}

run_asan() {
  local start=$SECONDS dir="${prefix}asan"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_BUILD_TESTS=ON \
    -DQUILLMARSH_BUILD_MODULE=ON -DQUILLMARSH_SANITIZE=address,undefined \
    -DQUILLMARSH_WERROR=OFF >/dev/null
  cmake --build "$dir" -j"$jobs"
  elapsed "asan build" "$start"

  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  local t=$SECONDS
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --test-dir "$dir" --output-on-failure -j"$jobs"
  elapsed "asan ctest" "$t"

  t=$SECONDS
  local supp
  supp="$(realpath "$dir")/lsan_python.supp"
  write_lsan_suppressions "$supp"
  # The interpreter itself, not a wrapper script (pyenv shims are shell scripts, which the
  # preloaded runtime would check too).
  local python
  python="$(python3 -c 'import sys; print(sys.executable)')"
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:malloc_context_size=6:fast_unwind_on_malloc=1 \
    LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
    QUILLMARSH_SANITIZER_RUN=1 PYTHONPATH="$PWD/$dir/python" \
    "$python" -m pytest tests/python -q -p no:cacheprovider -x
  elapsed "asan pytest" "$t"
}

run_tsan() {
  local start=$SECONDS dir="${prefix}tsan"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_BUILD_TESTS=ON \
    -DQUILLMARSH_SANITIZE=thread -DQUILLMARSH_WERROR=OFF >/dev/null
  cmake --build "$dir" -j"$jobs"
  elapsed "tsan build" "$start"

  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:exitcode=66
  local t=$SECONDS
  # The concurrency primitives and the concurrent-use driver first: they are what TSan is for.
  "$dir/tests/cpp/concurrency_tests" --gtest_brief=1
  QUILLMARSH_STRESS_QUICK="$quick" "$dir/tests/cpp/uplift_random_forest_tests" \
    --gtest_filter='ConcurrentUse*' --gtest_brief=1
  elapsed "tsan concurrency tests and concurrent-use driver" "$t"
  if [[ "$quick" != 1 ]]; then
    t=$SECONDS
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
    elapsed "tsan all C++ tests" "$t"
  fi
}

case "$mode" in
  asan) run_asan ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 asan|tsan|all" >&2; exit 2 ;;
esac
