#!/usr/bin/env bash
# The main job: installs quillmarsh from this checkout, then trains an uplift forest on a
# synthetic experiment and reports what it learned (`quillmarsh demo`: progress, per-arm Qini
# and AUUC on held-out rows, feature importances, a PNG of the curves). Extra arguments go to
# `quillmarsh demo`; see `quillmarsh demo --help`.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
python3 -m pip install -q --root-user-action=ignore .
exec quillmarsh demo "$@"
