#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (run as root).
set -euo pipefail
need_apt=()
for pkg in libgtest-dev libgmock-dev libbenchmark-dev ninja-build binutils; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if ((${#need_apt[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "pytest>=7" "cmeel-mimalloc>=3.0" "abi3audit" "scikit-build-core>=0.10" "numpy" \
  "pandas" "polars" "pyarrow" "matplotlib" "tqdm" "scikit-learn" "scikit-uplift" \
  "dask[dataframe]" "distributed" "pytest-timeout" "onnx==1.23.2" "onnxruntime==1.32.0"
