#!/usr/bin/env bash
# Runs the black-box suite against the real Windows programs under Wine, on Wine's own winmm.dll:
# our MIDI driver (tests/wine, built with the programs) is installed into a Wine prefix in the build
# folder and serves the test devices from the same control directory as the Linux simulation. The
# tests listed in tests/wine/skipped-under-wine.txt are left out, each with its reason; the stage
# fails when the driver cannot be loaded. Builds the test program (default preset) when needed.
#
# The programs ship in both builds, 32-bit and x86-64, and both run the suite: the 32-bit ones under
# 32-bit Wine, whenever this kernel runs 32-bit x86 programs at all (tools/ia32.sh tries) and 32-bit
# Wine can be installed, then the x86-64 ones under 64-bit Wine, each in a prefix of its own. Where
# the kernel refuses 32-bit programs, 32-bit Wine is not tried: the windows stage of
# tools/test-all.sh audits the 32-bit files instead (tests/audit/pe_audit.py). 32-bit Wine needs
# i386 packages that match the machine's amd64 ones, so a missing i386 index (a mirror in mid-sync)
# can make it uninstallable for a day; the x86-64 build still runs then, as 64-bit Wine installs
# from amd64 packages alone. MELVIX_WINE_BITS=32 or 64 runs one build only. Every Wine command goes
# through the loader of its run's bitness (tools/wine.sh), never through whichever one `wine`
# happens to pick.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt.sh
source tools/ia32.sh
source tools/wine.sh

cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target blackbox_tests

only="${MELVIX_WINE_BITS:-}"
bits="$only"
why=""
if [ -z "$bits" ] && ! kernel_runs_i386; then
  why="this kernel cannot run 32-bit x86 programs"
  echo "Wine stage: a 32-bit x86 probe program cannot run here ($ia32_error): no 32-bit Wine;" \
    "the windows stage audits the shipped 32-bit files instead"
fi
if { [ -z "$bits" ] && [ -z "$why" ]; } || [ "$bits" = 32 ]; then
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
runs=("$bits")
if [ -z "$only" ]; then
  runs=(${bits:+32} 64)
fi
if [ "${runs[-1]}" = 64 ] && ! ensure_packages wine wine64; then
  echo "FAILED: the Wine stage cannot run: 64-bit Wine could not be installed" >&2
  exit 1
fi

# The skip list: "Suite.Test  # reason" lines.
skipped=()
while IFS= read -r line; do
  line="${line%%$'\r'}"
  [[ "$line" =~ ^[[:space:]]*(#|$) ]] && continue
  skipped+=("$line")
done <tests/wine/skipped-under-wine.txt
filter="-"
for line in "${skipped[@]}"; do filter="$filter${line%%[[:space:]]*}:"; done

# run_suite BITS: the black-box suite against that build, in a prefix of its own.
run_suite() (
  bits="$1" start=$SECONDS
  if [ "$bits" = 32 ]; then
    preset=windows
    echo "Wine stage: the 32-bit programs under 32-bit Wine"
  else
    preset=windows64
    echo "Wine stage: the x86-64 programs under 64-bit Wine${why:+ (no 32-bit ones: $why)}"
  fi
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
  use_wine_loader "$bits" || { echo "FAILED: $wine_error" >&2; exit 1; }

  export WINEPREFIX="$PWD/build/wineprefix$bits"
  [ "$bits" = 32 ] && export WINEARCH=win32
  export WINEDEBUG=-all
  win="$PWD/build/$preset"
  # The driver goes where Wine looks for a driver of the prefix's own architecture: system32 in a
  # 32-bit prefix and in a 64-bit one alike.
  unset MELVIX_SIM_DIR
  make_wine_prefix
  # One wine server for the whole run: its helper processes then start without a test's environment,
  # and every program starts faster.
  "$WINESERVER" -p >/dev/null 2>&1 || true
  trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
  # melvixreg leaves its marker in C:\tmp, which it does not create itself.
  mkdir -p "$WINEPREFIX/drive_c/tmp"
  cp "$win/tests/wine/winemelvix.drv" "$WINEPREFIX/drive_c/windows/system32/winemelvix.drv"
  "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Audio /d melvix /f >/dev/null 2>&1

  export MELVIX_HOST="$WINE $win/host/melvixhost.exe"
  export MELVIX_REG="$WINE $win/reg/melvixreg.exe"
  export MELVIX_PLAY="$WINE $win/play/melvixplay.exe"
  export MELVIX_DRIVER_PROBE="$WINE $win/tests/wine/winemelvix_probe.exe"
  # Without the driver every test with a device would fail in a confusing way: check first that
  # Wine's WinMM lists a device plugged in through the control file.
  probe="$(mktemp -d)"
  echo 'in "Driver probe \u00e9"' >"$probe/control"
  answer="$(printf '\013\000\000\000["refresh"]' |
    MELVIX_SIM_DIR="$probe" timeout 60 "$WINE" "$win/host/melvixhost.exe" |
    tr -d '\000-\037' || true)"
  rm -rf "$probe"
  if ! grep -q 'Driver probe' <<<"$answer"; then
    echo "FAILED: Wine's WinMM does not list the test driver's devices (winemelvix.drv in" \
      "$WINEPREFIX); the host answered: ${answer:-nothing}" >&2
    exit 1
  fi
  echo "Wine loads the test MIDI driver: the host lists a device plugged in through the control" \
    "file"

  log="$(mktemp)"
  status=0
  build/default/tests/blackbox_tests --gtest_filter="$filter" 2> >(grep -v '^ALSA lib' >&2) |
    tee "$log" || status=$?
  ran="$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$log" | tail -1)"
  rm -f "$log"
  echo "Wine stage ($bits-bit): ${ran:-no} black-box tests ran under Wine in $((SECONDS - start)) s"
  [ -n "$ran" ] && [ "$ran" -gt 0 ] || { echo "FAILED: no test ran under Wine" >&2; exit 1; }
  exit $status
)

# Each build's run stops at its first failing command, and the other still runs: not in a
# condition, where bash would ignore `set -e` inside.
failed=0
for bits in "${runs[@]}"; do
  set +e
  (
    set -e
    run_suite "$bits"
  )
  [ $? -eq 0 ] || failed=1
  set -e
done
echo "Wine stage: the ${runs[*]}-bit builds ran; skipped under Wine:"
for line in "${skipped[@]}"; do echo "  $line"; done
exit $failed
