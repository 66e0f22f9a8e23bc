#!/usr/bin/env bash
# The main job on a sample: installs kestrane into .venv, generates an acquisition directory
# with the fixture writer and prints its scans and summary through the kestrane module.
#   tools/demo.sh [SCANS [POINTS]]
set -euo pipefail
cd "$(dirname "$0")/.."
scans=${1:-200}
points=${2:-5000}

tools/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/python .
sample=sample/demo.d
rm -rf "$sample"
PYTHONPATH=tools .venv/bin/python -m kestrane_fixtures sample "$sample" --scans "$scans" --points "$points" --seed 7
.venv/bin/python tools/kestrane_summary.py "$sample"
