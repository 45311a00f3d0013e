# Sourced by the set-up and test scripts: installs Debian packages that are missing.
#
# A package index that cannot be fetched (a mirror in mid-sync, say) is reported and the install is
# still tried with the indexes apt has: only a package that really cannot be installed counts as a
# failure, and then the message names it and gives apt's reason.

apt_sudo=""
[ "$(id -u)" -eq 0 ] || apt_sudo="sudo"

# The package list is refreshed at most once per test run (child scripts inherit the mark), and again
# only when a new architecture has been added since.
apt_refresh() {
  local arches
  arches="$(dpkg --print-foreign-architectures | tr '\n' ' ')"
  [ "${MELVIX_APT_REFRESHED:-}" = "done:$arches" ] && return 0
  local log
  log="$(mktemp)"
  if ! $apt_sudo apt-get update >"$log" 2>&1; then
    echo "note: apt-get update could not fetch every package index; installing from what it has:" >&2
    grep -E '^(E|W):' "$log" | sed 's/^/  /' >&2 || true
  fi
  rm -f "$log"
  export MELVIX_APT_REFRESHED="done:$arches"
}

apt_missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

# ensure_packages PKG...: returns 0 when every package is installed afterwards; otherwise prints,
# for each package that could not be installed, apt's reason, and returns 1.
ensure_packages() {
  local missing
  mapfile -t missing < <(apt_missing "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  apt_refresh
  local apt=($apt_sudo apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends)
  local log
  log="$(mktemp)"
  if "${apt[@]}" "${missing[@]}" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  # Install one by one, so that those that can be installed are, and the others are named.
  local p failed=0
  for p in "${missing[@]}"; do
    if ! "${apt[@]}" "$p" >"$log" 2>&1; then
      failed=1
      echo "cannot install $p:" >&2
      grep -E '^(E:| .*: Depends|.*not going to be installed|.*has no installation candidate)' \
        "$log" | head -n 6 | sed 's/^/  /' >&2 || true
    fi
  done
  rm -f "$log"
  return $failed
}
