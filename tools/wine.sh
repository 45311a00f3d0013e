# Sourced by the Wine and installer stages: the one place that says which Wine loader runs a
# prefix's commands, and how a prefix is made.
#
# Debian's `wine` (and `wineboot`, `reg` through it) starts the 32-bit loader whenever wine32 is
# installed, whatever the prefix: on a kernel that refuses 32-bit code but has wine32:i386
# installed it cannot make or run a 64-bit prefix, and says only "Exec format error". So a stage
# names its bitness once, and every Wine command of it goes through that bitness's loader: `$WINE`
# runs a program (`"$WINE" reg add ...`, `"$WINE" wineboot --init`), WINELOADER tells Wine's own
# helpers the same loader, and WINESERVER names the server that goes with it. In a 64-bit prefix
# the 64-bit loader also starts 32-bit programs, through the 32-bit loader beside it, where the
# kernel runs them.

# use_wine_loader BITS: exports WINE, WINELOADER and WINESERVER for 32 or 64; returns 1, with the
# reason in wine_error, when that loader is not installed.
use_wine_loader() {
  local loader server
  if [ "$1" = 64 ]; then
    # The wine64 command where the distribution has one, else Debian's loader itself.
    loader="$(command -v wine64 || true)"
    [ -n "$loader" ] || loader=/usr/lib/wine/wine64
    server=/usr/lib/wine/wineserver64
  else
    loader=/usr/lib/wine/wine
    server=/usr/lib/wine/wineserver32
    [ -x "$server" ] || server=/usr/lib/wine/wineserver64
  fi
  [ -x "$server" ] || server="$(command -v wineserver || true)"
  if [ ! -x "$loader" ] || [ -z "$server" ]; then
    wine_error="no $1-bit Wine loader ($loader) or server installed"
    return 1
  fi
  export WINE="$loader" WINELOADER="$loader" WINESERVER="$server"
}

# make_wine_prefix: makes $WINEPREFIX with $WINE, or stops the stage with what Wine printed, so
# that a prefix that could not be made fails here rather than later on a missing folder.
make_wine_prefix() {
  local log
  log="$(mktemp)"
  "$WINE" wineboot --init >"$log" 2>&1 || true
  "$WINESERVER" -w >>"$log" 2>&1 || true
  if [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    echo "FAILED: $WINE could not make the Wine prefix $WINEPREFIX; Wine said:" >&2
    tail -n 15 "$log" | sed 's/^/  /' >&2
    rm -f "$log"
    exit 1
  fi
  rm -f "$log"
}
