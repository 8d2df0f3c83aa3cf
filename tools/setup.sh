#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine (run as root).
set -euo pipefail
need_apt=()
for pkg in libgtest-dev libgmock-dev libbenchmark-dev ninja-build binutils chromium; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if ((${#need_apt[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
# Pinned to the versions the project is tested with; raise them together, on purpose.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  "pytest==9.0.3" "cmeel-mimalloc==3.4.3" "abi3audit==0.0.26" "scikit-build-core==1.1.2" \
  "numpy==2.4.6" "pandas==3.1.2" "polars==2.2.0" "pyarrow==26.0.1" "matplotlib==3.11.2" \
  "tqdm==4.70.1" "scikit-learn==1.9.1" "scikit-uplift==0.5.1" "dask[dataframe]==2026.11.0" \
  "distributed==2026.11.0" "pytest-timeout==2.4.0" \
  "onnx==1.23.2" "onnxruntime==1.32.0" "shap==0.49.1"
