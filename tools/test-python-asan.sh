#!/usr/bin/env bash
# Runs the Python suite against kestrane and kestrane_acq built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so the ASan runtime is
# preloaded, and leaks are attributed by their two innermost frames: those allocated by the
# interpreter (it does not free everything at exit) are suppressed, while a leak of ours, made
# by operator new or malloc from the extension, is still reported. References the extension
# fails to release are caught by the suite's reference-count tests instead. The mzML readers'
# checks of converted files are left to the plain suite: pyopenms and lxml are not built for the
# sanitizers (the conversions themselves run here through test_convert.py).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh
tools/setup.sh
venv=.venv-asan
make_venv "$venv" "$(tools/find-python.sh)"
venv_install "$venv" "pytest, numpy, scikit_build_core, nanobind, tqdm, matplotlib, pyteomics, pyopenms, psims, lxml" \
  -r tests/requirements.txt
"$venv/bin/python" -m pip install -q --no-build-isolation -Cbuild-dir=build-asan/python \
  -Ccmake.define.KESTRANE_SANITIZE=ON .

supp=$(mktemp)
trap 'rm -f "$supp"' EXIT
libdir=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_config_var("LDLIBRARY") or "")')
{
  echo "leak:${libdir:-libpython}"
  echo "leak:$(readlink -f "$venv/bin/python")"
  echo "leak:_multiarray_umath"   # numpy's own caches, used by the fixture writer
} >"$supp"

# libstdc++ is preloaded after the runtime: the interpreter does not link it, and ASan's
# __cxa_throw interceptor must find the real one when nanobind (kestrane_acq) throws.
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:abort_on_error=0:detect_odr_violation=0 \
LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$venv/bin/python" -m pytest tests -q -p no:cacheprovider \
  --ignore=tests/convert/test_convert_consumers.py "$@"
