# Steps the scripts of tools/ share. Source it: . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
# Messages go to stderr, prefixed with the sourcing script's name.

log() { echo "$(basename "$0" .sh): $*" >&2; }
die() {
  log "error: $*"
  exit 1
}

# Runs a command as root: directly when root, through sudo when it exists, else fails.
as_root() {
  if ((EUID == 0)); then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    die "needs root for: $*"
  fi
}

# apt_install PACKAGE...: installs the Debian packages that are not installed yet; prints
# nothing when all are. Refreshes apt's lists first when they do not know one of the packages
# (a fresh machine), and once more when the install fails on stale lists.
apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  log "installing ${missing[*]}"
  for p in "${missing[@]}"; do
    if ! apt-cache show "$p" >/dev/null 2>&1; then
      as_root apt-get update -qq >&2
      break
    fi
  done
  local install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
  if ! as_root "${install[@]}" "${missing[@]}" >&2; then
    as_root apt-get update -qq >&2
    as_root "${install[@]}" "${missing[@]}" >&2
  fi
}

# make_venv VENV PYTHON: a virtual environment at VENV made by the interpreter PYTHON. One made
# by another interpreter (a rebuilt or upgraded one), or a broken one, is replaced.
make_venv() {
  local venv=$1 python=$2
  if [[ ! -x $venv/bin/python || $(cat "$venv/.interpreter" 2>/dev/null) != "$python" ]] ||
    ! "$venv/bin/python" -c '' 2>/dev/null; then
    rm -rf "$venv"
    mkdir -p "$(dirname "$venv")"
    "$python" -m venv "$venv"
    echo "$python" >"$venv/.interpreter"
  fi
}

# venv_install VENV MODULES PIP_ARGS...: pip install PIP_ARGS into VENV unless every module of
# the comma-separated MODULES imports there already.
venv_install() {
  local venv=$1 modules=$2
  shift 2
  "$venv/bin/python" -c "import $modules" 2>/dev/null && return 0
  PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q "$@" >&2
}
