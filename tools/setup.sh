#!/usr/bin/env bash
# Installs what building and testing kestrane needs: system packages (Debian 12 or 13) and a
# virtual environment in .venv with the Python packages. Idempotent; prints nothing on a no-op.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(build-essential cmake ninja-build pkg-config libgtest-dev liblzf-dev liblzf1 libbenchmark-dev
  libpugixml-dev libdeflate-dev libssl-dev zlib1g-dev)
# The mzML validation tests run OpenMS's FileInfo and xmllint; they skip where these are absent.
validation_packages=(topp libxml2-utils)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
for p in "${validation_packages[@]}"; do
  if ! installed "$p"; then
    if [ "$(id -u)" -eq 0 ]; then
      missing+=("$p")
    else
      echo "setup: $p absent; the mzML validation tests will skip" >&2
    fi
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages ${missing[*]}; run as root or install them" >&2
    exit 1
  fi
  # An update is needed once on a fresh machine; later runs find the lists present.
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ] ||
      ! apt-cache show "${missing[0]}" >/dev/null 2>&1; then
    apt-get update -q >&2
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >&2
fi

python=$(tools/find-python.sh)
venv=${KESTRANE_VENV:-.venv}
if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info >= (3, 13)' 2>/dev/null; then
  rm -rf "$venv"
  "$python" -m venv "$venv"
fi
if ! "$venv/bin/python" -c 'import pytest, numpy, scikit_build_core' 2>/dev/null; then
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r tests/requirements.txt
fi
