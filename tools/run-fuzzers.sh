#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time.
#
#   tools/run-fuzzers.sh [ENTRY...]      default: every target of fuzz/targets.txt
#
# Environment:
#   KESTRANE_FUZZ_SECONDS    seconds per target (default 60; CI gives each of the eleven 30)
#   KESTRANE_FUZZ_BUILD_DIR  build directory (default build-fuzz in the source tree)
#
# Each target starts from fuzz/corpus/<dir>/ and adds what it finds to a working corpus in the
# build directory, so the committed seeds stay small. A crash, leak, timeout or out-of-memory
# input is copied into fuzz/corpus/<dir>/ as a regression case (replayed by ctest from then on)
# and makes the script fail. Prints executions and coverage per target.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/tools/lib.sh"
seconds=${KESTRANE_FUZZ_SECONDS:-60}
build=${KESTRANE_FUZZ_BUILD_DIR:-$root/build-fuzz}

# Target -> corpus directory, from fuzz/targets.txt.
declare -A corpus_of=()
all_entries=()
while read -r target corpus _; do
  [[ -z $target || $target == \#* ]] && continue
  all_entries+=("$target")
  corpus_of[$target]=$corpus
done <"$root/fuzz/targets.txt"
if (($# > 0)); then entries=("$@"); else entries=("${all_entries[@]}"); fi
for e in "${entries[@]}"; do
  [[ -n ${corpus_of[$e]:-} ]] || die "unknown fuzz target '$e' (fuzz/targets.txt: ${all_entries[*]})"
done

# --- Toolchain ---------------------------------------------------------------------------------
# Debian 12's clang (16 and older) cannot compile <expected> against libstdc++ 12: use clang-16
# there, with libc++ (fuzz/CMakeLists.txt detects the need and compiles against libc++). Newer
# releases' default clang works with its default library.
debian_major=0
if [[ -r /etc/os-release ]]; then
  # shellcheck disable=SC1091
  . /etc/os-release
  if [[ ${ID:-} == debian && ${VERSION_ID:-} =~ ^[0-9]+ ]]; then debian_major=${BASH_REMATCH[0]}; fi
fi
if ((debian_major > 0 && debian_major <= 12)); then
  cc=clang-16 cxx=clang++-16
  packages=(clang-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev)
else
  cc=clang cxx=clang++
  packages=(clang libclang-rt-dev)
fi
packages+=(liblzf-dev)
command -v cmake >/dev/null || packages+=(cmake)
command -v ninja >/dev/null || packages+=(ninja-build)
apt_install "${packages[@]}"

# --- Build -------------------------------------------------------------------------------------
mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DKESTRANE_BUILD_FUZZ=ON -DKESTRANE_BUILD_TESTS=OFF -DKESTRANE_BUILD_TOOLS=OFF \
  -DKESTRANE_BUILD_PYTHON=OFF -DKESTRANE_BUILD_BENCH=OFF >"$build/configure.log" 2>&1 ||
  { cat "$build/configure.log"; exit 1; }
targets=()
for e in "${entries[@]}"; do targets+=("${e}_fuzzer"); done
cmake --build "$build" -j 2 --target "${targets[@]}"

# --- Run ---------------------------------------------------------------------------------------
summary=()
failed=()
for e in "${entries[@]}"; do
  seeds="$root/fuzz/corpus/${corpus_of[$e]}"
  work="$build/fuzz-work/$e"
  rm -rf "$work/artifacts"
  mkdir -p "$work/corpus" "$work/artifacts" "$seeds"
  log="$work/fuzz.log"
  echo "== $e: ${seconds}s"
  rc=0
  "$build/fuzz/${e}_fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "$seeds" >"$log" 2>&1 || rc=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n 1)
  # The last status line: "#N DONE cov: C ft: F corp: U/S ...".
  cov=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n 1 |
    sed -E 's/.* cov: ([0-9]+) ft: ([0-9]+) corp: ([0-9]+).*/cov \1, ft \2, corpus \3/' || true)

  # Inputs libFuzzer saved for a failure; slow-unit-* files are only notes.
  found=()
  for f in "$work"/artifacts/crash-* "$work"/artifacts/leak-* "$work"/artifacts/timeout-* \
           "$work"/artifacts/oom-*; do
    [[ -e $f ]] && found+=("$f")
  done
  status=ok
  if ((rc != 0 || ${#found[@]} > 0)); then
    status="FAILED (exit $rc)"
    failed+=("$e")
    for f in "${found[@]}"; do
      cp "$f" "$seeds/regression-$e-$(basename "$f")"
      echo "   saved $seeds/regression-$e-$(basename "$f")"
    done
    echo "   last lines of $log:"
    tail -n 40 "$log" | sed 's/^/   | /'
  fi
  line=$(printf '%-17s %12s execs %8s/s  %-34s rss %5s MB  %s' "$e" "${execs:-?}" "${rate:-?}" \
    "${cov:-cov ?}" "${rss:-?}" "$status")
  echo "   $line"
  summary+=("$line")
done

echo
echo "fuzz summary (${seconds}s per target, build $build):"
printf '  %s\n' "${summary[@]}"
if ((${#failed[@]} > 0)); then
  echo "failing targets: ${failed[*]}"
  exit 1
fi
