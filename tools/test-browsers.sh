#!/usr/bin/env bash
# Runs the test extension's scripted exchange with melvixhost in headless Chromium and Firefox ESR,
# each registered through the manifests melvixreg writes (tests/browser/). Installs the browsers
# when missing. Needs the default preset built.
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for p in chromium firefox-esr python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  # A package index that fails to download must not stop us: the lists at hand may do.
  $sudo apt-get update || echo "apt-get update failed; installing from the package lists at hand"
  $sudo apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends "${missing[@]}"
fi
status=0
for browser in chromium firefox; do
  echo "=== melvixhost in ${browser} ==="
  python3 tests/browser/run_exchange.py "$browser" build/default || status=1
done
exit $status
