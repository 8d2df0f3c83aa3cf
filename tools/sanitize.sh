#!/usr/bin/env bash
# Sanitizer runs. Usage: tools/sanitize.sh asan|asan-pytest|tsan|all
#   asan: AddressSanitizer + UndefinedBehaviorSanitizer build of the core and the extension;
#         runs the C++ tests (leak detection on) and the whole pytest suite under the
#         interpreter with the sanitizer runtime preloaded.
#   asan-pytest: only the pytest part of asan, on an existing asan build.
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
# little at exit). Only the two innermost frames of each allocation are kept
# (malloc_context_size=2): the allocator and the function that called it. A leak is suppressed
# when that function lies in the interpreter or another extension module; with more frames
# kept, every leak of the module would show an interpreter frame further out and be
# suppressed too. self_check_leak_detection proves that a leak in extension code still fails.
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

# A throwaway extension that leaks one block per call must make the interpreter exit with an
# error under the options below; otherwise the suppressions hide the module's leaks.
self_check_leak_detection() {
  local dir="$1" python="$2" supp="$3"
  local src="$dir/leak_probe.cpp" ext
  ext="$dir/leak_probe$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')"
  cat >"$src" <<'CPP'
#include <Python.h>
#include <vector>
static PyObject* leak(PyObject*, PyObject*) {
  auto* block = new std::vector<int>(1000, 7);
  (void)block;
  Py_RETURN_NONE;
}
static PyMethodDef methods[] = {{"leak", leak, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};
static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "leak_probe", nullptr, -1, methods};
PyMODINIT_FUNC PyInit_leak_probe() { return PyModule_Create(&definition); }
CPP
  g++ -shared -fPIC -O1 -g -fsanitize=address,undefined -fno-omit-frame-pointer \
    -I"$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')" "$src" -o "$ext"
  if run_under_asan "$python" "$supp" "$dir" -c 'import leak_probe; leak_probe.leak()' \
    >/dev/null 2>&1; then
    echo "leak detection self-check failed: a leaking extension passed" >&2
    exit 1
  fi
}

run_under_asan() {
  local python="$1" supp="$2" path="$3"
  shift 3
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:fast_unwind_on_malloc=1 \
    LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
    PYTHONPATH="$path" "$python" "$@"
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

  run_asan_pytest
}

# The pytest part of the asan run, on an existing build.
run_asan_pytest() {
  local t=$SECONDS dir="${prefix}asan"
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  local supp
  supp="$(realpath "$dir")/lsan_python.supp"
  write_lsan_suppressions "$supp"
  # The interpreter itself, not a wrapper script (pyenv shims are shell scripts, which the
  # preloaded runtime would check too).
  local python
  python="$(python3 -c 'import sys; print(sys.executable)')"
  self_check_leak_detection "$(realpath "$dir")" "$python" "$supp"
  # LeakSanitizer's exit-time check stops every thread with ptrace and reads their stacks and
  # TLS; on rare occasions its tracer itself faults ("Tracer caught signal 11", then
  # "LeakSanitizer has encountered a fatal error"), which is a failure of the runtime, not a
  # leak report. Only that failure earns one more full run; any test failure, sanitizer report
  # or leak fails at once, and so does a second fatal error.
  local log="$dir/asan_pytest.log" attempt
  for attempt in 1 2; do
    if run_under_asan "$python" "$supp" "$(realpath "$dir")/python" \
      -m pytest tests/python -q -p no:cacheprovider -x 2>&1 | tee "$log"; then
      break
    fi
    if [[ "$attempt" == 2 ]] || ! grep -q "LeakSanitizer has encountered a fatal error" "$log" ||
      grep -q -E "ERROR: (Address|Leak)Sanitizer|runtime error:| failed|[0-9]+ error" "$log"; then
      exit 1
    fi
    echo "== asan pytest: the leak checker's own tracer failed; running the suite once more"
  done
  elapsed "asan pytest" "$t"
}

run_tsan() {
  local start=$SECONDS dir="${prefix}tsan"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMARSH_BUILD_TESTS=ON \
    -DQUILLMARSH_SANITIZE=thread -DQUILLMARSH_WERROR=OFF >/dev/null
  local targets=()
  [[ "$quick" == 1 ]] && targets=(--target concurrency_tests uplift_random_forest_tests)
  cmake --build "$dir" -j"$jobs" "${targets[@]}"
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
  asan-pytest) run_asan_pytest ;;
  tsan) run_tsan ;;
  all) run_asan; run_tsan ;;
  *) echo "usage: $0 asan|asan-pytest|tsan|all" >&2; exit 2 ;;
esac
