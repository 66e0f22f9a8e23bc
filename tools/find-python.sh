#!/usr/bin/env bash
# Prints the path of a CPython 3.13 or newer interpreter with its development headers.
# Order: $KESTRANE_PYTHON, python3.13, python3, pyenv's 3.13+ versions, then Debian's python3.13
# packages (Debian 13 and newer), installed on the spot.
set -euo pipefail

usable() {
  "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig, os
assert sys.version_info >= (3, 13) and sys.implementation.name == "cpython"
assert not sysconfig.get_config_var("Py_GIL_DISABLED")
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
import venv, ensurepip
PY
}

candidates=()
[ -n "${KESTRANE_PYTHON:-}" ] && candidates+=("$KESTRANE_PYTHON")
candidates+=(python3.13 python3)
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for d in $(ls -d "$root"/versions/3.1[3-9]* 2>/dev/null | sort -rV); do candidates+=("$d/bin/python3"); done
elif [ -d "$HOME/.pyenv/versions" ]; then
  for d in $(ls -d "$HOME"/.pyenv/versions/3.1[3-9]* 2>/dev/null | sort -rV); do candidates+=("$d/bin/python3"); done
fi
for c in "${candidates[@]}"; do
  p=$(command -v "$c" 2>/dev/null || true)
  if [ -n "$p" ] && usable "$p"; then echo "$p"; exit 0; fi
done

# Debian 13 carries 3.13; install its interpreter, headers and venv support.
if command -v apt-get >/dev/null 2>&1 && apt-cache show python3.13-dev >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q python3.13 python3.13-dev python3.13-venv >&2
  if usable /usr/bin/python3.13; then echo /usr/bin/python3.13; exit 0; fi
fi
echo "find-python: no CPython 3.13+ with headers found; set KESTRANE_PYTHON" >&2
exit 1
