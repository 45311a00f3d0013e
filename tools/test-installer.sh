#!/usr/bin/env bash
# Builds the Windows installer and tests it under Wine in a fresh prefix (tests/installer): a silent
# installation into a folder whose path holds a space and characters outside ASCII, its files,
# registry values and manifests, the host started the way a browser finds it and melvixcheck's
# report, repairs of each fault melvixcheck must find, the trace, an update, a host that is
# running, a policy against per-user hosts, an installation for all users beside the per-user one,
# a folder of hostile characters 240 characters long, and silent uninstallations that leave nothing
# behind; then, in a second prefix, the default installation for a user whose profile folder's name
# has letters outside ASCII and a space.
#
# The installer we ship is 32-bit, and that is what runs whenever this kernel runs 32-bit x86
# programs (tools/ia32.sh) and 32-bit Wine is installed (the Wine stage installs it when it can).
# Otherwise the same script is built as an x86-64 installer around the x86-64 programs and runs
# under 64-bit Wine. MELVIX_WINE_BITS=32 or 64 forces one.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt.sh
source tools/ia32.sh
source tools/wine.sh

bits="${MELVIX_WINE_BITS:-}"
why="MELVIX_WINE_BITS=${bits} asked for it"
if [ -z "$bits" ]; then
  if ! kernel_runs_i386; then
    bits=64 why="this kernel cannot run 32-bit x86 programs ($ia32_error)"
  elif [ -z "$(apt_missing wine32:i386)" ]; then
    bits=32
  else
    bits=64 why="32-bit Wine (wine32:i386) is not installed"
  fi
fi
if [ "$bits" = 32 ]; then
  packages=(wine wine32:i386)
  echo "Installer stage: the 32-bit installer (as shipped) under 32-bit Wine"
else
  packages=(wine wine64)
  echo "Installer stage: the same installer script built as an x86-64 installer around the x86-64" \
    "programs, under 64-bit Wine, because $why; the shipped 32-bit installer is built but not run"
fi
if ! ensure_packages "${packages[@]}" python3; then
  echo "FAILED: the installer stage cannot run: ${packages[*]} could not be installed" >&2
  exit 1
fi
use_wine_loader "$bits" || { echo "FAILED: $wine_error" >&2; exit 1; }

# The installer we ship is always built, so that its script stays valid for 32-bit.
bash tools/build-installer.sh 32 >/dev/null
setup="$(bash tools/build-installer.sh "$bits")"
preset=windows
[ "$bits" = 64 ] && preset=windows64
version="$(sed -n 's/.*kHostVersion = "\([^"]*\)".*/\1/p' host/command_handlers.h)"

export WINEPREFIX="$PWD/build/installer-prefix$bits"
rm -rf "$WINEPREFIX"
[ "$bits" = 32 ] && export WINEARCH=win32
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
make_wine_prefix
status=0
timeout 1200 python3 tests/installer/installer_test.py "$setup" "build/$preset" "$version" ||
  status=$?
"$WINESERVER" -k 2>/dev/null || true
# A user whose profile folder, and so %LOCALAPPDATA%, holds letters outside ASCII and a space: Wine
# names the profile after $USER.
if [ $status -eq 0 ]; then
  export WINEPREFIX="$PWD/build/installer-prefix$bits-profile"
  rm -rf "$WINEPREFIX"
  export USER="Jürgen Müller"
  make_wine_prefix
  timeout 600 python3 tests/installer/installer_test.py "$setup" "build/$preset" "$version" \
    --profile || status=$?
  "$WINESERVER" -k 2>/dev/null || true
fi
[ $status -eq 0 ] || echo "FAILED: the installer test (exit code $status)" >&2
exit $status
