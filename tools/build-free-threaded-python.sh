#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (--disable-gil) from Debian's python3.13 source package and
# caches it outside the repository. Prints the interpreter path as the last line on stdout.
#
#   tools/build-free-threaded-python.sh          # plain build
#   tools/build-free-threaded-python.sh --tsan   # ThreadSanitizer build, in its own cache dir
#
# Environment: KESTRANE_CACHE (default ~/.cache/kestrane), KESTRANE_BUILD_JOBS (default nproc),
# KESTRANE_DEBIAN_MIRROR (archive URI, default: the one apt already uses for Debian).
# Debian 12 has no python3.13: its source package is then looked up in trixie through an apt
# configuration of this script's own (a sources list and package lists in a temporary directory,
# removed on exit), so the machine's apt sources and lists stay as they were.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

tsan=0
for arg in "$@"; do
  case "$arg" in
    --tsan) tsan=1 ;;
    -h | --help)
      sed -n '2,10s/^# \{0,1\}//p' "$0"
      exit 0
      ;;
    *)
      echo "unknown argument: $arg" >&2
      exit 2
      ;;
  esac
done

cache_root="${KESTRANE_CACHE:-$HOME/.cache/kestrane}"
jobs="${KESTRANE_BUILD_JOBS:-$(nproc)}"
source_package=python3.13
# Options that make apt use the private sources and lists, once private_apt has set them up.
apt_options=()

[[ -r /etc/os-release ]] || die "/etc/os-release missing; only Debian 12 and 13 are supported"
# shellcheck disable=SC1091
os_id=$(. /etc/os-release && echo "${ID:-}")
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
debian_major=$(cut -d. -f1 /etc/debian_version 2>/dev/null || true)
[[ $os_id == debian ]] || die "not Debian (ID=$os_id)"
case "$debian_major:$codename" in
  12:* | *:bookworm) source_suite=trixie ;;  # bookworm has no 3.13; trixie's sources build on it
  13:* | *:trixie) source_suite=trixie ;;
  *)
    # Later releases: use their own sources if they still carry python3.13.
    [[ -n $codename ]] || die "cannot tell the Debian release"
    source_suite=$codename
    ;;
esac

# Interpreter in a prefix, usable when it runs and reports the build we asked for.
interpreter_ok() {
  local python="$1/bin/python3.13t"
  [[ -f $1/.kestrane-complete && -x $python ]] || return 1
  "$python" -c 'import sys, sysconfig
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled()' >/dev/null 2>&1
}

# Highest source version of python3.13 that apt knows about, or nothing.
source_version() {
  local best="" v
  while read -r v; do
    if [[ -z $best ]] || dpkg --compare-versions "$v" gt "$best"; then best=$v; fi
  done < <(apt-cache "${apt_options[@]}" showsrc --only-source "$source_package" 2>/dev/null |
    awk '/^Version:/ {print $2}')
  echo "$best"
}

# The Debian archive URI apt is already set up with, so no host is spelled out here.
debian_mirror() {
  if [[ -n ${KESTRANE_DEBIAN_MIRROR:-} ]]; then
    echo "$KESTRANE_DEBIAN_MIRROR"
    return
  fi
  local files=() f
  for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] && files+=("$f")
  done
  ((${#files[@]})) || return 0
  {
    awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' "${files[@]}"
    awk '$1 == "deb" || $1 == "deb-src" {
           for (i = 2; i <= NF; i++) if ($i ~ /^[a-z+]+:\/\//) { print $i; break } }' "${files[@]}"
  } | grep -v -e security -e '^$' | grep -E '/debian/?$' | head -n 1 || true
}

# Points apt_options at a private configuration that holds only the deb-src entry of
# $source_suite, and fetches its lists there. Nothing outside the temporary directory changes:
# no sources entry, no package lists, no package caches (apt builds them in memory).
private_apt() {
  local mirror
  mirror=$(debian_mirror)
  [[ -n $mirror ]] || die "no Debian archive URI in apt's sources; set KESTRANE_DEBIAN_MIRROR"
  apt_dir=$(mktemp -d "${TMPDIR:-/tmp}/kestrane-apt.XXXXXX")
  trap 'rm -rf "$apt_dir"' EXIT
  # Run as root, apt fetches as its unprivileged user, which must reach the lists directory.
  chmod 755 "$apt_dir"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/sources.list.d"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $source_suite main" \
    >"$apt_dir/sources.list"
  apt_options=(
    -o "Dir::Etc::sourcelist=$apt_dir/sources.list"
    -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
  )
  log "looking up $source_package in $source_suite ($mirror) with a private apt configuration"
  apt-get "${apt_options[@]}" update -qq >&2 || log "apt-get update reported errors"
  [[ -n $(source_version) ]] || die "apt has no source package $source_package in $source_suite"
}

build_deps=(
  build-essential dpkg-dev pkg-config xz-utils
  libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev
  libreadline-dev libncurses-dev uuid-dev libgdbm-dev libgdbm-compat-dev
)

command -v apt-cache >/dev/null || die "apt is required"
variant=python3.13t
((tsan)) && variant=python3.13t-tsan
mkdir -p "$cache_root"
exec 9>"$cache_root/.$variant.lock"
flock 9  # one build per variant at a time; a second caller waits and then finds it cached

version=$(source_version)
if [[ -z $version ]]; then
  # apt cannot name the version without fetching its lists: an interpreter built before will do.
  mapfile -t cached_builds < <(printf '%s\n' "$cache_root/$variant"-[0-9]* | sort -Vr)
  for cached in "${cached_builds[@]}"; do
    if interpreter_ok "$cached"; then
      echo "$cached/bin/python3.13t"
      exit 0
    fi
  done
  private_apt
  version=$(source_version)
fi
prefix="$cache_root/$variant-${version//:/_}"

if interpreter_ok "$prefix"; then
  echo "$prefix/bin/python3.13t"
  exit 0
fi

apt_install "${build_deps[@]}"

work="$cache_root/build-$variant-${version//:/_}"
rm -rf "$work" "$prefix"
mkdir -p "$work"
log "fetching $source_package $version into $work"
(cd "$work" && apt-get "${apt_options[@]}" source --download-only -qq "$source_package=$version" >&2)
dsc=$(find "$work" -maxdepth 1 -name "${source_package}_*.dsc" | head -n 1)
[[ -n $dsc ]] || die "apt-get source left no .dsc in $work"
# Upstream sources as released: Debian's patches adapt the tree to its own system layout (its
# security backports are left out with them; this interpreter only runs tests).
dpkg-source -x --skip-patches "$dsc" "$work/src" >&2

# Venvs bring pip from the bundled wheel; the test suite and its helper modules are not needed.
configure_args=(--disable-gil "--prefix=$prefix" --with-ensurepip=no --disable-test-modules)
((tsan)) && configure_args+=(--with-thread-sanitizer)
build_log="$work/build.log"
log "configure ${configure_args[*]} (log: $build_log)"
start=$(date +%s)
(
  cd "$work/src"
  ./configure "${configure_args[@]}"
  make -j"$jobs"
  make install
) >"$build_log" 2>&1 || {
  tail -n 60 "$build_log" >&2
  die "build failed; full log in $build_log"
}
if ((tsan)); then
  # Reports that CPython's own developers suppress for free-threaded builds.
  mkdir -p "$prefix/share/tsan"
  cp "$work"/src/Tools/tsan/*.txt "$prefix/share/tsan/"
fi
touch "$prefix/.kestrane-complete"
interpreter_ok "$prefix" || die "built interpreter at $prefix does not run free-threaded"
log "built in $(($(date +%s) - start)) s"
# Keep only the build log.
find "$work" -mindepth 1 -maxdepth 1 ! -name build.log -exec rm -rf {} +
echo "$prefix/bin/python3.13t"
