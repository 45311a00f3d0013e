#!/usr/bin/env bash
# Installs what is missing, builds the release preset and prints the table of bench/host_bench:
# melvixhost against the least any host can do (bench/reference_host), in one run. Arguments go to
# host_bench (--short, --runs N, --only FIGURES).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target host_bench
exec build/release/bench/host_bench "$@"
