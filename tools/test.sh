#!/usr/bin/env bash
# Every test of the project: C++ unit tests (ctest), the wheel checks (abi3, exported
# symbols) and the Python tests (pytest) against the installed wheel; then the static checks
# (tools/lint.sh). With CI=true or SANITIZE=1 also both sanitizer runs (tools/sanitize.sh,
# docs/development.md); SANITIZE_QUICK=1 runs them at their smaller size.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

werror=OFF
[[ "${CI:-}" == "true" ]] && werror=ON

# The "test" preset of CMakePresets.json: build/cpp, Release, the C++ tests.
cmake --preset test -DQUILLMARSH_WERROR="$werror" >/dev/null
cmake --build --preset test
ctest --preset test

rm -rf build/dist
python3 -m pip wheel --no-deps -w build/dist . -Ccmake.define.QUILLMARSH_WERROR="$werror"
tools/check_wheel.sh build/dist/*.whl
python3 -m pip install -q --force-reinstall --no-deps --root-user-action=ignore build/dist/*.whl

python3 -m pytest tests/python -q -p no:cacheprovider

tools/lint.sh

if [[ "${CI:-}" == "true" || "${SANITIZE:-}" == "1" ]]; then
  tools/sanitize.sh all
fi
