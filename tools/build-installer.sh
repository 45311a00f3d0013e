#!/usr/bin/env bash
# Builds the Windows installer, build/installer/melvix-setup-<version>.exe (installer/melvix.nsi),
# and prints its path last. It carries both builds of the programs: the 32-bit ones of the
# `windows` preset, which it installs alone on 32-bit Windows and into an x86\ subfolder on 64-bit
# Windows, and the x86-64 ones of `windows64`, which 64-bit Windows gets in the installation's
# folder itself. The installer's folder holds the programs too, as shipped (x86/ and x64/), and
# SHA256SUMS, their and the installer's SHA-256 in the form `sha256sum -c` reads (after any signing:
# of the files as shipped).
#
#   bash tools/build-installer.sh [32|64] [--cert FILE --key FILE [--pass-file FILE]
#                                 [--timestamp URL]]
#
#   32 (the default)   the installer we ship: a 32-bit program, so that 32-bit Windows runs it too
#   64                 the same script as an x86-64 installer around the same programs, as
#                      build/installer-x64/melvix-setup-<version>-x64.exe: for testing under a Wine
#                      that cannot run 32-bit programs, never shipped
#   --cert, --key      sign each program, the uninstaller and the installer (Authenticode, by
#                      osslsigncode) with this certificate and its private key, PEM or DER; or set
#                      MELVIX_SIGN_CERT and MELVIX_SIGN_KEY. Without them it builds unsigned and
#                      says so
#   --pass-file        a file holding the key's passphrase (MELVIX_SIGN_PASS_FILE)
#   --timestamp        an RFC 3161 time-stamp server to counter-sign with (MELVIX_SIGN_TIMESTAMP)
#
# The version is the one melvixhost answers ["version"] with, read from its source.
#
# Two unsigned builds of one commit give the same bytes, wherever and whenever they run
# (docs/windows.md): the programs are built so (CMakeLists.txt), and every file in the installer is
# dated with SOURCE_DATE_EPOCH, by default the time of the commit checked out.
set -euo pipefail
usage="usage: $0 [32|64] [--cert FILE --key FILE [--pass-file FILE] [--timestamp URL]]"
bits=32
while [ $# -gt 0 ]; do
  case "$1" in
    32 | 64) bits="$1" ;;
    --cert) MELVIX_SIGN_CERT="${2:?$usage}" && shift ;;
    --key) MELVIX_SIGN_KEY="${2:?$usage}" && shift ;;
    --pass-file) MELVIX_SIGN_PASS_FILE="${2:?$usage}" && shift ;;
    --timestamp) MELVIX_SIGN_TIMESTAMP="${2:?$usage}" && shift ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift
done
signing=""
if [ -n "${MELVIX_SIGN_CERT:-}${MELVIX_SIGN_KEY:-}" ]; then
  if [ -z "${MELVIX_SIGN_CERT:-}" ] || [ -z "${MELVIX_SIGN_KEY:-}" ]; then
    echo "FAILED: signing needs a certificate and its key, both (--cert and --key)" >&2
    exit 2
  fi
  # Named from where they were given, before the change of folder below.
  MELVIX_SIGN_CERT="$(realpath "$MELVIX_SIGN_CERT")"
  MELVIX_SIGN_KEY="$(realpath "$MELVIX_SIGN_KEY")"
  [ -z "${MELVIX_SIGN_PASS_FILE:-}" ] || MELVIX_SIGN_PASS_FILE="$(realpath "$MELVIX_SIGN_PASS_FILE")"
  export MELVIX_SIGN_CERT MELVIX_SIGN_KEY MELVIX_SIGN_PASS_FILE="${MELVIX_SIGN_PASS_FILE:-}"
  export MELVIX_SIGN_TIMESTAMP="${MELVIX_SIGN_TIMESTAMP:-}"
  signing=1
fi
cd "$(dirname "$0")/.."
source tools/apt.sh

case "$bits" in
  32) defines=() suffix="" ;;
  64) defines=(-DAMD64) suffix="-x64" ;;
esac
ensure_packages cmake ninja-build nsis g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  ${signing:+osslsigncode}

version="$(sed -n 's/.*kHostVersion = "\([^"]*\)".*/\1/p' host/command_handlers.h)"
[ -n "$version" ] || { echo "FAILED: no kHostVersion in host/command_handlers.h" >&2; exit 1; }
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null)" || {
    echo "FAILED: not a git checkout: set SOURCE_DATE_EPOCH to the time to date the files with" >&2
    exit 1
  }
fi
export SOURCE_DATE_EPOCH

# The folder holds this build's files only.
dir="build/installer$suffix"
rm -rf "$dir"
for preset in windows windows64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
  arch=x86
  [ "$preset" = windows64 ] && arch=x64
  mkdir -p "$dir/$arch"
  for program in host/melvixhost reg/melvixreg play/melvixplay check/melvixcheck; do
    cp "build/$preset/$program.exe" "$dir/$arch/"
  done
done
if [ -n "$signing" ]; then
  echo "signed with $MELVIX_SIGN_CERT${MELVIX_SIGN_TIMESTAMP:+, time-stamped by}" \
    "${MELVIX_SIGN_TIMESTAMP:-without a time stamp}" >&2
  for program in "$dir"/x86/*.exe "$dir"/x64/*.exe; do
    bash tools/sign.sh "$program"
  done
  # makensis signs the uninstaller before it packs it, and the installer once written.
  defines+=(-DSIGN="bash tools/sign.sh")
else
  echo "unsigned: no certificate and key given (--cert and --key, or MELVIX_SIGN_CERT and" \
    "MELVIX_SIGN_KEY)" >&2
fi
# makensis keeps each file's date, which an installation gives back.
touch -d "@$SOURCE_DATE_EPOCH" "$dir"/x86/*.exe "$dir"/x64/*.exe
setup="melvix-setup-${version}${suffix}.exe"
makensis -V2 -WX -NOCD "${defines[@]}" -DVERSION="$version" -DBINDIR="$dir/x86" \
  -DBINDIR64="$dir/x64" -DOUTFILE="$dir/$setup" installer/melvix.nsi >&2
(cd "$dir" && sha256sum -- "$setup" x86/*.exe x64/*.exe >SHA256SUMS)
echo "$dir/$setup"
