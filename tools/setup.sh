#!/usr/bin/env bash
# Installs what building and testing kestrane needs: system packages (Debian 12 or 13) and a
# virtual environment in .venv with the Python packages. Idempotent; prints nothing on a no-op.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

# topp (OpenMS's FileInfo) and libxml2-utils (xmllint) validate the mzML the converter writes.
apt_install build-essential cmake ninja-build pkg-config libgtest-dev liblzf-dev liblzf1 \
  libbenchmark-dev libpugixml-dev libdeflate-dev libssl-dev zlib1g-dev topp libxml2-utils

venv=${KESTRANE_VENV:-.venv}
make_venv "$venv" "$(tools/find-python.sh)"
venv_install "$venv" "pytest, numpy, scikit_build_core, nanobind, tqdm, matplotlib, pyteomics, pyopenms, psims, pymzml, lxml, pyarrow, duckdb, distributed, pynumpress" \
  -r tests/requirements.txt
# The mzPeak format's reference reader, a test tool kept beside the project when it is there.
# Installed from a copy: the shared folder may be read-only, and pip builds in the source tree.
reference=../shared/vendor/mzpeak-reference/python
if [[ -d $reference ]] && ! "$venv/bin/python" -c 'import mzpeak' 2>/dev/null; then
  copy=$(mktemp -d)
  cp -r "$reference" "$copy/python"
  rm -rf "$copy/python/build" "$copy/python"/*.egg-info
  venv_install "$venv" "mzpeak" "$copy/python"
  rm -rf "$copy"
fi
