#!/usr/bin/env bash
# Builds the Windows installer and tests it under Wine in a fresh prefix (tests/installer): a silent
# installation into a folder whose path holds a space and characters outside ASCII, its files,
# registry values and manifests, the host started the way a browser finds it and melvixcheck's
# report, /X86 and back, repairs of each fault melvixcheck must find, the trace, an update, a host
# that is running, a policy against per-user hosts, an installation for all users beside the
# per-user one, a folder of hostile characters 240 characters long, and silent uninstallations that
# leave nothing behind; then, in a second prefix, the default installation for a user whose profile
# folder's name has letters outside ASCII and a space.
#
# The installer we ship is 32-bit, and that is what runs whenever this kernel runs 32-bit x86
# programs (tools/ia32.sh) and 32-bit Wine is installed (the Wine stage installs it when it can):
# the whole test in a 64-bit prefix, where it installs the x86-64 programs and the 32-bit ones in
# x86\, and the second one in a 32-bit prefix, where it installs the 32-bit programs alone.
# Otherwise the same script is built as an x86-64 installer around the same programs and both run
# in 64-bit prefixes under 64-bit Wine. MELVIX_WINE_BITS=32 or 64 forces one.
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
  packages=(wine wine32:i386 wine64)
  echo "Installer stage: the 32-bit installer (as shipped) in a 64-bit Wine prefix (x86-64" \
    "programs, 32-bit ones in x86\\) and in a 32-bit one (32-bit programs alone)"
else
  packages=(wine wine64)
  echo "Installer stage: the same installer script built as an x86-64 installer around the same" \
    "programs, under 64-bit Wine, because $why; the shipped 32-bit installer is built but not run"
fi
if ! ensure_packages "${packages[@]}" python3 osslsigncode openssl; then
  echo "FAILED: the installer stage cannot run: ${packages[*]} could not be installed" >&2
  exit 1
fi
# Even the 32-bit installer runs through the 64-bit loader first: its main run is in a 64-bit
# prefix, which also starts 32-bit programs where the kernel runs them.
use_wine_loader 64 || { echo "FAILED: $wine_error" >&2; exit 1; }
export MELVIX_RUNS_32BIT=0
[ "$bits" = 32 ] && MELVIX_RUNS_32BIT=1

# Signed as a release would be, with a throwaway certificate and a throwaway RFC 3161 time-stamp
# server on 127.0.0.1 (tests/installer/time_stamp_server.py), both made now: every program, the
# uninstaller and the installer must carry a signature that osslsigncode finds intact, made with
# that certificate and time-stamped by that server. What that does not prove: docs/windows.md.
keys="$(mktemp -d)"
make_certificate() { # NAME USAGE FILE
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$1" -addext "extendedKeyUsage=$2" \
    -keyout "$keys/$3.key" -out "$keys/$3.pem" 2>/dev/null
}
make_certificate "Melvix test signing" codeSigning sign
make_certificate "Melvix test time stamps" critical,timeStamping tsa
timeout 1800 python3 tests/installer/time_stamp_server.py "$keys" >"$keys/port" &
time_stamps=$!
trap 'kill "$time_stamps" 2>/dev/null || true; rm -rf "$keys"' EXIT
for _ in $(seq 50); do [ -s "$keys/port" ] && break; sleep 0.2; done
[ -s "$keys/port" ] || { echo "FAILED: the time-stamp server did not start" >&2; exit 1; }
export MELVIX_SIGN_CERT="$keys/sign.pem" MELVIX_SIGN_KEY="$keys/sign.key"
export MELVIX_SIGN_TIMESTAMP="http://127.0.0.1:$(cat "$keys/port")" MELVIX_TSA_CERT="$keys/tsa.pem"
# check_signed FOLDER: the installer and the programs there, and SHA256SUMS of the signed files.
check_signed() {
  local file report
  (cd "$1" && sha256sum -c --quiet --strict SHA256SUMS)
  for file in "$1"/*.exe "$1"/x86/*.exe "$1"/x64/*.exe; do
    if ! report="$(osslsigncode verify -CAfile "$MELVIX_SIGN_CERT" -TSA-CAfile "$MELVIX_TSA_CERT" \
      -in "$file" 2>&1)" || ! grep -q "^Timestamp Server Signature verification: ok" <<<"$report"
    then
      echo "FAILED: $file is not signed and time-stamped as it should be; osslsigncode said:" >&2
      grep -E "verification|Timestamp|[Ss]ignature|digest|Failed" <<<"$report" | head -n 8 >&2
      return 1
    fi
    echo "signed and time-stamped: $file"
  done
}

# The installer we ship is always built, so that its script stays valid for 32-bit.
shipped="$(bash tools/build-installer.sh 32)"
check_signed "$(dirname "$shipped")"
setup="$shipped"
if [ "$bits" = 64 ]; then
  setup="$(bash tools/build-installer.sh 64)"
  check_signed "$(dirname "$setup")"
fi
version="$(sed -n 's/.*kHostVersion = "\([^"]*\)".*/\1/p' host/command_handlers.h)"

export WINEPREFIX="$PWD/build/installer-prefix64"
rm -rf "$WINEPREFIX"
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
make_wine_prefix
status=0
timeout 1200 python3 tests/installer/installer_test.py "$setup" build "$version" || status=$?
"$WINESERVER" -k 2>/dev/null || true
# A user whose profile folder, and so %LOCALAPPDATA%, holds letters outside ASCII and a space: Wine
# names the profile after $USER. On 32-bit Windows, where the kernel runs 32-bit programs.
if [ $status -eq 0 ]; then
  export WINEPREFIX="$PWD/build/installer-prefix$bits-profile"
  rm -rf "$WINEPREFIX"
  if [ "$bits" = 32 ]; then
    use_wine_loader 32 || { echo "FAILED: $wine_error" >&2; exit 1; }
    export WINEARCH=win32
  fi
  export USER="Jürgen Müller"
  make_wine_prefix
  timeout 600 python3 tests/installer/installer_test.py "$setup" build "$version" --profile ||
    status=$?
  "$WINESERVER" -k 2>/dev/null || true
fi
[ $status -eq 0 ] || echo "FAILED: the installer test (exit code $status)" >&2

# The installer's pages as a user sees them, for a reviewer: run by hand, without /S, on a virtual
# display in a fresh prefix, each page saved as build/installer-pages/<n>-<page>.png (Enter moves
# on), then stopped on the finish page. Without the tools (a package index that cannot be fetched)
# there are no pictures, which the stage says; pages that do not come are a failure.
take_pages() {
  local display=:97 pages=build/installer-pages page previous="" window shot i=0
  if ! ensure_packages xvfb x11-apps imagemagick xdotool >/dev/null 2>&1; then
    echo "no screenshots of the installer's pages: Xvfb, xwd, ImageMagick or xdotool could not" \
      "be installed"
    return 0
  fi
  rm -rf "$pages" && mkdir -p "$pages"
  export WINEPREFIX="$PWD/build/installer-prefix-pages" DISPLAY="$display"
  rm -rf "$WINEPREFIX"
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  trap 'kill "$xvfb" "$time_stamps" 2>/dev/null || true; rm -rf "$keys"' EXIT
  make_wine_prefix
  "$WINE" "$setup" >/dev/null 2>&1 &
  if ! window="$(timeout 120 xdotool search --sync --name "Melvix MIDI host .* Setup" | head -n 1)"
  then
    echo "FAILED: the installer's window did not appear" >&2
    return 1
  fi
  for page in welcome mode folder progress finish; do
    i=$((i + 1))
    # Until the page has changed, and for the progress page until the installation is done and
    # stands still.
    for _ in $(seq 60); do
      sleep 1
      # The window's own pixels: a PNG would carry the time it was made.
      shot="$(xwd -silent -id "$window" | sha256sum)"
      [ "$shot" != "$previous" ] || continue
      sleep 1
      [ "$(xwd -silent -id "$window" | sha256sum)" = "$shot" ] && break
    done
    if [ "$shot" = "$previous" ]; then
      echo "FAILED: the installer's $page page did not come" >&2
      return 1
    fi
    previous="$shot"
    xwd -silent -id "$window" | convert xwd:- -strip "$pages/$i-$page.png"
    # Wine takes keys from the X server's focus, not from events sent to its window.
    [ "$page" = finish ] || { xdotool windowfocus --sync "$window" && xdotool key Return; }
  done
  "$WINESERVER" -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  echo "the installer's pages, as a user sees them: $(ls "$pages" | tr '\n' ' ')in $pages"
}
if [ $status -eq 0 ]; then
  take_pages || status=1
fi
exit $status
