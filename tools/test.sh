#!/usr/bin/env bash
# Builds and runs every test: the C++ suites (GoogleTest and corpus replays, through CTest) and
# the Python suite against the installed package. Sets up what it needs on first use.
#   tools/test.sh               plain build
#   tools/test.sh --sanitize    the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   tools/test.sh --tsan        the threaded tests of both readers, of the mzML writer and of the
#                               converter under ThreadSanitizer
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-plain}
jobs=$(nproc)

tools/setup.sh

case "$mode" in
  plain)
    cmake -S . -B build -G Ninja -DKESTRANE_WERROR=ON >/dev/null
    ninja -C build -j"$jobs"
    ctest --test-dir build --output-on-failure -j"$jobs"
    .venv/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/python .
    .venv/bin/python -m pytest tests -q -p no:cacheprovider
    ;;
  --sanitize)
    cmake -S . -B build-asan -G Ninja -DKESTRANE_WERROR=ON -DKESTRANE_SANITIZE=ON >/dev/null
    ninja -C build-asan -j"$jobs"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
      ctest --test-dir build-asan --output-on-failure -j"$jobs"
    tools/test-python-asan.sh
    ;;
  --tsan)
    cmake -S . -B build-tsan -G Ninja -DKESTRANE_TSAN=ON -DKESTRANE_BUILD_TOOLS=OFF >/dev/null
    ninja -C build-tsan -j"$jobs" reader_threads_test acq_threads_test mzml_pipeline_test \
      mzml_writer_test convert_test
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure \
      -R '^(ReaderThreads|AcqThreads|MzmlPipeline|MzmlWriter|Convert)'
    ;;
  *)
    echo "usage: $0 [--sanitize|--tsan]" >&2
    exit 2
    ;;
esac
