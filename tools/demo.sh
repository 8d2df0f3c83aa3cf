#!/usr/bin/env bash
# The main job: installs quillmarsh from this checkout, then trains an uplift forest on a
# synthetic experiment and prints what it learned (examples/quickstart.py). Extra arguments
# go to the quickstart, e.g. tools/demo.sh --trees 100 --train-rows 200000.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
python3 -m pip install -q --root-user-action=ignore .
# Run from outside the checkout so that the installed module is the one imported.
repo="$PWD"
cd /
exec python3 "$repo/examples/quickstart.py" "$@"
