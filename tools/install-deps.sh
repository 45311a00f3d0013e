#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing.
set -euo pipefail
source "$(dirname "$0")/apt.sh"
ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev \
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix clang-format python3
