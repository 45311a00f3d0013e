#!/usr/bin/env bash
# Builds the Windows installer, build/installer/melvix-setup-<version>.exe: the 32-bit programs of
# the `windows` preset in a 32-bit installer (installer/melvix.nsi), and prints its path last. The
# installer's folder holds the programs it installs too, as shipped.
#
#   bash tools/build-installer.sh        the installer we ship
#   bash tools/build-installer.sh 64     the same script around the x86-64 programs (`windows64`),
#                                        as build/installer-x64/melvix-setup-<version>-x64.exe: for
#                                        testing under a Wine that cannot run 32-bit programs, never
#                                        shipped
#
# The version is the one melvixhost answers ["version"] with, read from its source.
#
# Two builds of one commit give the same bytes, wherever and whenever they run (docs/windows.md):
# the programs are built so (CMakeLists.txt), and every file in the installer is dated with
# SOURCE_DATE_EPOCH, by default the time of the commit checked out.
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
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null)" || {
    echo "FAILED: not a git checkout: set SOURCE_DATE_EPOCH to the time to date the files with" >&2
    exit 1
  }
fi
export SOURCE_DATE_EPOCH

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" >/dev/null

# The folder holds this build's files only.
dir="build/installer$suffix"
rm -rf "$dir"
mkdir -p "$dir"
for program in host/melvixhost reg/melvixreg play/melvixplay check/melvixcheck; do
  cp "build/$preset/$program.exe" "$dir/"
done
# makensis keeps each file's date, which an installation gives back.
touch -d "@$SOURCE_DATE_EPOCH" "$dir"/*.exe
out="$dir/melvix-setup-${version}${suffix}.exe"
makensis -V2 -NOCD "${defines[@]}" -DVERSION="$version" -DBINDIR="$dir" -DOUTFILE="$out" \
  installer/melvix.nsi >&2
echo "$out"
