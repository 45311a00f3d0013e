#!/usr/bin/env bash
# Builds the Windows installer, build/installer/melvix-setup-<version>.exe: the 32-bit programs of
# the `windows` preset in a 32-bit installer (installer/melvix.nsi), and prints its path last.
#
#   bash tools/build-installer.sh        the installer we ship
#   bash tools/build-installer.sh 64     the same script around the x86-64 programs (`windows64`),
#                                        as melvix-setup-<version>-x64.exe: for testing under a Wine
#                                        that cannot run 32-bit programs, never shipped
#
# The version is the one melvixhost answers ["version"] with, read from its source.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt.sh

bits="${1:-32}"
case "$bits" in
  32) preset=windows mingw=g++-mingw-w64-i686-posix defines=() suffix="" ;;
  64) preset=windows64 mingw=g++-mingw-w64-x86-64-posix defines=(-DAMD64) suffix="-x64" ;;
  *) echo "usage: $0 [32|64]" >&2; exit 2 ;;
esac
ensure_packages cmake ninja-build nsis "$mingw"

version="$(sed -n 's/.*kHostVersion = "\([^"]*\)".*/\1/p' host/command_handlers.h)"
[ -n "$version" ] || { echo "FAILED: no kHostVersion in host/command_handlers.h" >&2; exit 1; }

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null

mkdir -p build/installer
out="build/installer/melvix-setup-${version}${suffix}.exe"
makensis -V2 -NOCD "${defines[@]}" -DVERSION="$version" -DBINDIR="build/$preset" -DOUTFILE="$out" \
  installer/melvix.nsi >&2
echo "$out"
