#!/usr/bin/env bash
# The main job on samples: installs kestrane into .venv, generates a run in the form instruments
# write, reads it through kestrane_acq (the `kestrane` command) and converts it to indexed mzML,
# then a fixed-layout run read by the kestrane-scans tool.
#   tools/demo.sh [SCANS [POINTS]]
set -euo pipefail
cd "$(dirname "$0")/.."
scans=${1:-60}
points=${2:-20000}

tools/setup.sh
.venv/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/python .
fixtures() { PYTHONPATH=tests/support .venv/bin/python -m kestrane_fixtures "$@"; }

# A calibrated TOF run with run-length profiles, read through kestrane_acq.
rm -rf sample/tof.d
fixtures acq-sample sample/tof.d --family tof-rle --scans "$scans" --points "$points" --seed 7
.venv/bin/kestrane info sample/tof.d
.venv/bin/kestrane plot sample/tof.d -o sample/tof.png
.venv/bin/kestrane convert sample/tof.d -o sample --overwrite

# A run of the fixed layout, read by the kestrane module's tool.
cmake -S . -B build-tools -G Ninja -DKESTRANE_BUILD_TESTS=OFF >/dev/null
ninja -C build-tools -j"$(nproc)" kestrane-scans >/dev/null
rm -rf sample/demo.d
fixtures sample sample/demo.d --scans 200 --points 5000 --seed 7
build-tools/tools/kestrane-scans sample/demo.d | tail -n 3
