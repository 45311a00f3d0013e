#!/usr/bin/env bash
# Runs the black-box tests that need no simulated devices against the real Windows programs under
# Wine: the host's framing and protocol, melvixreg's files, melvixplay's exit. Needs the windows
# and default presets built. Wine's WinMM sees no MIDI device on a machine without sound hardware.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v wine >/dev/null || ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null |
    grep -q "install ok installed"; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo dpkg --add-architecture i386
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends wine wine32:i386
fi
export WINEPREFIX="${WINEPREFIX:-$PWD/build/wineprefix}"
export WINEDEBUG=-all
win="$PWD/build/windows"
export MELVIX_HOST="wine $win/host/melvixhost.exe"
export MELVIX_REG="wine $win/reg/melvixreg.exe"
export MELVIX_PLAY="wine $win/play/melvixplay.exe"
wineboot --init >/dev/null 2>&1 || true
status=0
build/default/tests/blackbox_tests \
  --gtest_filter='HostProtocol.*:Melvixreg*.*:Melvixplay*.*:-HostProtocol.BackToBack*:HostProtocol.APortWhose*' \
  2> >(grep -v '^ALSA lib' >&2) || status=$?
wineserver -k 2>/dev/null || true
exit $status
