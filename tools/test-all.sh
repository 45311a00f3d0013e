#!/usr/bin/env bash
# Installs what is missing (tools/install-deps.sh), then runs the test stages, all of them or only
# those named, always in this order:
#   windows    cross-builds the Windows programs, 32-bit and x86-64, and their installer as shipped
#              (so MinGW's warnings stay errors too) and audits them without running them:
#              tests/audit/pe_audit.py
#   wine       the black-box suite against the Windows programs under Wine with our test MIDI
#              driver: tools/test-wine.sh
#   installer  the Windows installer under Wine: tools/test-installer.sh
#   browsers   the test extension with melvixhost in Chromium and Firefox ESR:
#              tools/test-browsers.sh
#   fuzz       the libFuzzer targets from their seed corpora: tools/test-fuzz.sh
#   asan       every test under AddressSanitizer (with UndefinedBehaviorSanitizer)
#   tsan       every test under ThreadSanitizer
#   default    every test in the plain build
#
#   bash tools/test-all.sh                   every stage
#   bash tools/test-all.sh windows default   only these
#
# Each stage builds what it needs, so any one runs alone on a fresh clone. A failing stage does not
# stop the run: the later ones still run, so that one run shows everything that is broken. Each
# stage ends with one line of its name, result and time; the run ends with a table of them all
# (a CTest stage's row ends with CTest's summary line) and fails when any stage failed.
set -euo pipefail
cd "$(dirname "$0")/.."

stages=(windows wine installer browsers fuzz asan tsan default)
usage="usage: $0 [stage...]   stages, run in this order: ${stages[*]}"
declare -A asked=()
for name in "$@"; do
  [[ " ${stages[*]} " == *" $name "* ]] || { echo "unknown stage '$name'; $usage" >&2; exit 2; }
  asked[$name]=1
done

jobs=$(nproc)
ctest_log="$(mktemp)"
trap 'rm -f "$ctest_log"' EXIT

stage_windows() {
  local setup
  # Both builds below are of one commit, so they date their files alike.
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct)"
  export SOURCE_DATE_EPOCH
  setup="$(bash tools/build-installer.sh)"
  python3 tests/audit/pe_audit.py build/windows "$setup"
  python3 tests/audit/pe_audit.py --x86-64 build/windows64
  # SHA256SUMS has the sum of every other file of the folder, as `sha256sum -c` reads it.
  (cd build/installer && sha256sum -c --strict SHA256SUMS &&
    diff <(find . -type f ! -name SHA256SUMS | cut -c3- | sort) <(cut -c67- SHA256SUMS | sort))
  check_reproducible
}
# Builds the installer again from a copy of the sources in another folder, later, and fails unless
# the installer and the programs beside it are byte for byte those built in this folder: their
# SHA256SUMS are the same.
check_reproducible() {
  local copy
  copy="$(mktemp -d /tmp/melvix-rebuild.XXXXXX)"
  # The folder is named now: the trap runs after this function has returned.
  trap "rm -rf '$copy'" EXIT
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$copy"
  (cd "$copy" && bash tools/build-installer.sh >/dev/null)
  if ! diff build/installer/SHA256SUMS "$copy/build/installer/SHA256SUMS"; then
    echo "FAILED: a build in $copy differs from the one here (<: here, >: there)" >&2
    return 1
  fi
  echo "reproducible: the same bytes built in $PWD and in $copy:"
  cat build/installer/SHA256SUMS
}
stage_wine() { bash tools/test-wine.sh; }
stage_installer() { bash tools/test-installer.sh; }
stage_browsers() { bash tools/test-browsers.sh; }
stage_fuzz() { bash tools/test-fuzz.sh; }
# Builds a preset and runs all its tests; the table takes CTest's summary line from its log.
ctest_stage() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j "$jobs"
  ctest --preset "$1" -j "$jobs" | tee "$ctest_log"
}
# The sanitizer presets are built with clang, whose -Wthread-safety checks the locks.
stage_asan() {
  ensure_packages clang libclang-rt-14-dev
  ctest_stage asan
}
stage_tsan() {
  ensure_packages clang libclang-rt-14-dev
  ctest_stage tsan
}
stage_default() { ctest_stage default; }

bash tools/install-deps.sh
source tools/apt.sh
results=()
failed=0
for name in "${stages[@]}"; do
  [ $# -eq 0 ] || [ -n "${asked[$name]:-}" ] || continue
  echo "=== ${name} ==="
  : >"$ctest_log"
  start=$SECONDS
  # A subshell of its own, and not in a condition (where bash ignores `set -e`), so that the stage
  # stops at its first failing command and the run goes on.
  set +e
  (
    set -e
    "stage_$name"
  )
  status=$?
  set -e
  result=passed
  [ $status -eq 0 ] || result=FAILED failed=1
  seconds=$((SECONDS - start))
  echo "=== ${name}: ${result} in ${seconds} s ==="
  summary="$(grep -m1 'tests passed, ' "$ctest_log" || true)"
  results+=("$(printf '%-10s %-7s %6s s' "$name" "$result" "$seconds")${summary:+  $summary}")
done

echo
printf '%-10s %-7s %8s\n' stage result time
printf '%s\n' "${results[@]}"
exit $failed
