#!/usr/bin/env bash
# Static checks: clang-tidy (.clang-tidy) on src/, cppcheck on src/ and clang-format --dry-run
# on src/, tests/cpp, bench/ and fuzz/ for the C++ sources; ruff (configured in pyproject.toml)
# on python/, tests/, bench/ and examples/ and mypy (pyproject.toml) on the toolkit for the
# Python sources. .pre-commit-config.yaml runs the same tools on the files of a commit.
# Findings listed in
# tools/lint_known.txt (reported to their owners, to be fixed) are shown but tolerated; any
# other finding fails the run.
# Environment: LINT_BUILD (default build/lint) holds the compile_commands.json that
# clang-tidy reads; JOBS (default 2) parallel clang-tidy processes.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${LINT_BUILD:-build/lint}"
jobs="${JOBS:-2}"
known=tools/lint_known.txt

# Pinned: a newer clang-tidy, clang-format, ruff or mypy brings new checks and a different
# layout (.pre-commit-config.yaml pins the same versions).
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "clang-tidy==23.1.4" "clang-format==23.1.5" "ruff==0.17.6" "mypy==2.4.1"
if ! command -v cppcheck >/dev/null; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq cppcheck >/dev/null
fi

# Configuring is enough: clang-tidy needs the compile commands, not the objects.
cmake -S . -B "$build" -G Ninja -DQUILLMARSH_BUILD_MODULE=ON -DQUILLMARSH_BUILD_TESTS=ON \
  >/dev/null

findings=$(mktemp)
trap 'rm -f "$findings"' EXIT

# One line per finding: "<tool> <path> <check>".
find src -name '*.cpp' | sort | xargs -P"$jobs" -n4 clang-tidy -p "$build" --quiet 2>/dev/null |
  sed -nE "s#^$PWD/([^:]+):[0-9]+:[0-9]+: (warning|error): .*\[([a-z0-9.-]+)(,-warnings-as-errors)?\]\$#clang-tidy \1 \3#p" \
  >>"$findings" || true

cppcheck --std=c++20 --language=c++ --enable=warning,performance,portability --inline-suppr \
  --quiet -j"$jobs" -I src --suppressions-list=tools/cppcheck.supp \
  --template='cppcheck {file} {id}' src 2>>"$findings" || true

find src tests/cpp bench fuzz \( -name '*.cpp' -o -name '*.hpp' \) | sort |
  xargs clang-format --dry-run 2>&1 | sed -nE 's#^([^:]+):[0-9]+:[0-9]+: (warning|error): code should be clang-formatted.*#format \1#p' \
  >>"$findings" || true

python3 -m ruff check --quiet --output-format concise python tests bench examples |
  sed -nE 's#^([^:]+):[0-9]+:[0-9]+: ([A-Za-z][A-Za-z0-9-]*):? .*#ruff \1 \2#p' >>"$findings" || true

# mypy reads its settings (the toolkit package, the untyped optional libraries) from
# pyproject.toml; a run that fails without a finding (a bad setting, a crash) is one too.
if ! python3 -m mypy --no-error-summary >"$findings.mypy" 2>&1; then
  sed -nE 's#^([^:]+):[0-9]+: error: .*\[([a-z-]+)\]$#mypy \1 \2#p' "$findings.mypy" >>"$findings"
  grep -q ': error: ' "$findings.mypy" || { cat "$findings.mypy" >&2; echo "mypy failed" >>"$findings"; }
fi
rm -f "$findings.mypy"

sort -u "$findings" -o "$findings"
tolerated=$(grep -Fxf <(grep -v '^#' "$known" | sed '/^$/d') "$findings" || true)
new=$(grep -vFxf <(grep -v '^#' "$known" | sed '/^$/d') "$findings" || true)
stale=$(grep -v '^#' "$known" | sed '/^$/d' | grep -vFxf "$findings" || true)

[[ -n "$tolerated" ]] && printf 'known findings (tools/lint_known.txt):\n%s\n' "$tolerated"
[[ -n "$stale" ]] && printf 'fixed, can leave tools/lint_known.txt:\n%s\n' "$stale"
if [[ -n "$new" ]]; then
  printf 'new findings:\n%s\n' "$new" >&2
  echo "re-run a tool on the file for details, e.g. clang-tidy -p $build <file>" >&2
  exit 1
fi
echo "lint: clean apart from $(grep -c . <<<"$tolerated" || true) known finding(s)"
