#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the plain build first, then the same
# suite under AddressSanitizer (with UndefinedBehaviorSanitizer) and ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
jobs=$(nproc)
summary=()
for preset in asan tsan default; do
  echo "=== ${preset} build ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
