#!/usr/bin/env bash
# The main job on a sample: installs kestrane into .venv, generates an acquisition directory
# with the fixture writer and prints its scans and summary with the kestrane-scans tool.
#   tools/demo.sh [SCANS [POINTS]]
set -euo pipefail
cd "$(dirname "$0")/.."
scans=${1:-200}
points=${2:-5000}

tools/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/python .
# The tool in a build of its own: the test build (build/) keeps its own options.
cmake -S . -B build-tools -G Ninja -DKESTRANE_BUILD_TESTS=OFF >/dev/null
ninja -C build-tools -j"$(nproc)" kestrane-scans >/dev/null
sample=sample/demo.d
rm -rf "$sample"
PYTHONPATH=tools .venv/bin/python -m kestrane_fixtures sample "$sample" --scans "$scans" --points "$points" --seed 7
build-tools/tools/kestrane-scans "$sample"
