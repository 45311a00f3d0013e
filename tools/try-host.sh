#!/usr/bin/env bash
# Installs what is missing, builds, and starts an interactive session with melvixhost on the
# embedded default devices: type JSON requests, see every reply and unasked message.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target melvixhost melvixtalk
unset MELVIX_SIM_DIR
exec build/default/tools/melvixtalk build/default/host/melvixhost
