#!/usr/bin/env bash
# Runs the threaded tests of both modules (tests/fixed/test_free_threading.py,
# test_acq_free_threading.py) on a free-threaded CPython 3.13: builds the interpreter if needed
# (tools/build-free-threaded-python.sh), installs this checkout and pytest into a venv under
# build-free-threaded/ and exits with pytest's status.
#
#   tools/run-free-threaded-tests.sh [--tsan] [-- pytest arguments...]
#
# --tsan uses the ThreadSanitizer interpreter and compiles the extensions with -fsanitize=thread,
# so races inside them are reported too.
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$repo_root/tools/lib.sh"
tsan=0
pytest_args=()
while (($#)); do
  case "$1" in
    --tsan) tsan=1 ;;
    --)
      shift
      pytest_args=("$@")
      break
      ;;
    -h | --help)
      sed -n '2,9s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *)
      echo "unknown argument: $1" >&2
      exit 2
      ;;
  esac
  shift
done

build_args=()
((tsan)) && build_args+=(--tsan)
python=$("$repo_root/tools/build-free-threaded-python.sh" "${build_args[@]}" | tail -n 1)
[[ -x $python ]] || die "interpreter build gave no usable path ('$python')"
log "interpreter: $python"
[[ -f $repo_root/pyproject.toml ]] || die "no pyproject.toml in $repo_root: nothing to install"

work="$repo_root/build-free-threaded"
((tsan)) && work="$repo_root/build-free-threaded-tsan"
venv="$work/venv"
make_venv "$venv" "$python"
vpy="$venv/bin/python"

export PIP_DISABLE_PIP_VERSION_CHECK=1
export CMAKE_BUILD_PARALLEL_LEVEL="${KESTRANE_BUILD_JOBS:-$(nproc)}"
if ((tsan)); then
  export CFLAGS="${CFLAGS:-} -fsanitize=thread"
  export CXXFLAGS="${CXXFLAGS:-} -fsanitize=thread"
  export LDFLAGS="${LDFLAGS:-} -fsanitize=thread"
fi

# Under ThreadSanitizer pip and its build backend are not what is tested: their reports
# (CPython's own races at interpreter exit among them) are switched off while installing.
tsan_options=${TSAN_OPTIONS:-}
((tsan)) && export TSAN_OPTIONS=report_bugs=0

log "installing pytest, numpy (for the fixture writer), pyarrow and $repo_root"
venv_install "$venv" "pytest, numpy" pytest numpy
# pyarrow for the columnar API's threaded test, as a wheel (the newest release built for this
# interpreter; a source build takes an hour), except under ThreadSanitizer: pyarrow's own
# threads and reference counts are not instrumented, so what they hand over between threads
# would be reported as races. Without it that test skips.
if ! ((tsan)) && ! venv_install "$venv" pyarrow --only-binary=pyarrow pyarrow; then
  log "no pyarrow wheel for this interpreter: the columnar test skips"
fi
# A build directory kept between runs makes a re-run an incremental CMake build.
"$vpy" -m pip install -q --force-reinstall --no-deps --config-settings=build-dir="$work/cmake" \
  "$repo_root" >&2

if ((tsan)); then
  suppressions="$(dirname "$python")/../share/tsan/suppressions_free_threading.txt"
  opts="halt_on_error=1 second_deadlock_stack=1"
  [[ -f $suppressions ]] && opts+=" suppressions=$suppressions"
  export TSAN_OPTIONS="${tsan_options:-$opts}"
fi

cd "$repo_root"
# -P: the interpreter does not put the working directory first on sys.path, so `kestrane`
# resolves to the installed extension and never to something in the checkout. The tests write
# their directories with the fixture package (tests/support/, on the path through pytest's pythonpath
# setting) and use nothing of the shared conftest, which is not loaded.
exec env -u PYTHON_GIL "$vpy" -P -m pytest -p no:cacheprovider --noconftest \
  tests/fixed/test_free_threading.py tests/acq/test_acq_free_threading.py "${pytest_args[@]}"
