#!/usr/bin/env bash
# Fails, naming each place, when a tracked C or C++ source differs from what clang-format makes of
# it with the repository's .clang-format. The CTest test `format` (label unit) runs it. clang-format
# 14 is the reference, as other versions break some lines differently; CLANG_FORMAT names a binary.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.c' '*.cpp' '*.h' |
  xargs -0 -n 20 -P "$(nproc)" "${CLANG_FORMAT:-clang-format}" --dry-run -Werror
