#!/usr/bin/env bash
# Runs the black-box tests that need no simulated devices against the real Windows programs under
# Wine: the host's framing and protocol, melvixreg's files, melvixplay's exit. Needs the default
# preset built. Wine's WinMM sees no MIDI device on a machine without sound hardware.
#
# The programs ship as 32-bit executables, and those are what run whenever 32-bit Wine can be
# installed. It needs i386 packages that match the machine's amd64 ones, so a missing i386 index
# (a mirror in mid-sync) can make it uninstallable for a day; then the same sources, built for
# x86-64, run under 64-bit Wine, which installs from amd64 packages alone. MELVIX_WINE_BITS=32 or 64
# forces one.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt.sh

bits="${MELVIX_WINE_BITS:-}"
why=""
if [ -z "$bits" ] || [ "$bits" = 32 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || $apt_sudo dpkg --add-architecture i386
  if errors="$(ensure_packages wine wine32:i386 2>&1)"; then
    bits=32
  else
    why="32-bit Wine could not be installed: $(echo "$errors" | grep -m1 -A1 '^cannot install' |
      tr -s ' \n' ' ')"
    echo "$errors" | grep -q '^note: apt-get update' &&
      why="$why (a package index could not be fetched)"
    [ -n "$bits" ] && { echo "FAILED: $why" >&2; echo "$errors" >&2; exit 1; }
  fi
fi
if [ -z "$bits" ] || [ "$bits" = 64 ]; then
  if ! ensure_packages wine wine64; then
    echo "FAILED: the Wine stage cannot run: ${why:-64-bit Wine was asked for}, and 64-bit Wine" \
      "could not be installed either" >&2
    exit 1
  fi
  bits=64
fi

if [ "$bits" = 32 ]; then
  preset=windows
  echo "Wine stage: the 32-bit programs (as shipped) under 32-bit Wine"
else
  preset=windows64
  echo "Wine stage: the x86-64 build of the same sources under 64-bit Wine, because" \
    "${why:-MELVIX_WINE_BITS=64 asked for it}"
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"

export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix$bits}"
[ "$bits" = 32 ] && export WINEARCH=win32
export WINEDEBUG=-all
win="$PWD/build/$preset"
export MELVIX_HOST="wine $win/host/melvixhost.exe"
export MELVIX_REG="wine $win/reg/melvixreg.exe"
export MELVIX_PLAY="wine $win/play/melvixplay.exe"
wineboot --init >/dev/null 2>&1 || true
# A host that cannot even start would make every test below fail in a confusing way: say so first.
if ! printf '\013\000\000\000["version"]' | timeout 60 wine "$win/host/melvixhost.exe" |
    grep -q version; then
  echo "FAILED: $win/host/melvixhost.exe does not answer under Wine" >&2
  exit 1
fi
status=0
build/default/tests/blackbox_tests \
  --gtest_filter='HostProtocol.*:Melvixreg*.*:Melvixplay*.*:-HostProtocol.BackToBack*:HostProtocol.APortWhose*' \
  2> >(grep -v '^ALSA lib' >&2) || status=$?
wineserver -k 2>/dev/null || true
exit $status
