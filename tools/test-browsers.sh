#!/usr/bin/env bash
# Runs the test extension's scripted exchange with melvixhost in headless Chromium and Firefox ESR,
# each registered through the manifests melvixreg writes (tests/browser/). Installs the browsers
# when missing, and builds the programs (default preset) when needed.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt.sh
ensure_packages chromium firefox-esr python3
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target melvixhost melvixreg
status=0
for browser in chromium firefox; do
  echo "=== melvixhost in ${browser} ==="
  python3 tests/browser/run_exchange.py "$browser" build/default || status=1
done
exit $status
