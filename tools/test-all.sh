#!/usr/bin/env bash
# Installs what is missing, cross-builds the Windows programs (so MinGW's warnings stay errors too)
# and runs the black-box suite against them under Wine with our test MIDI driver, then runs
# every test under AddressSanitizer (with UndefinedBehaviorSanitizer), ThreadSanitizer, and in the
# plain build, whose summary ends the output.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs=$(nproc)
echo "=== windows build (32-bit, as shipped) ==="
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
echo "=== the Windows programs under Wine ==="
bash tools/test-wine.sh
echo "=== the Windows installer under Wine ==="
bash tools/test-installer.sh
bash tools/test-browsers.sh  # the test extension with melvixhost in Chromium and Firefox ESR
bash tools/test-fuzz.sh
for preset in asan tsan default; do
  echo "=== ${preset} build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
