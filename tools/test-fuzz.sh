#!/usr/bin/env bash
# Installs clang and libFuzzer when missing, builds the fuzz targets (preset fuzz) and runs each
# from its seed corpus in tests/fuzz/corpus for MELVIX_FUZZ_SECONDS seconds (30 unless set). Fails
# on any crash, leak, sanitizer report, broken property, timeout or runaway memory; the input that
# did it is kept in build/fuzz/findings, and running the target on that file repeats the finding.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/apt.sh
ensure_packages clang libfuzzer-14-dev libclang-rt-14-dev

seconds="${MELVIX_FUZZ_SECONDS:-30}"
targets=(request_loop request_tokenizer text_encoding stream_splitter command_stream control_line
         manifest_path)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzz}"

build=build/fuzz
mkdir -p "$build/findings" "$build/logs"
failed=()
for target in "${targets[@]}"; do
  program="$build/tests/fuzz/${target}_fuzz"
  seeds="tests/fuzz/corpus/$target"
  [ -x "$program" ] || { echo "missing fuzz target $program" >&2; exit 1; }
  [ -d "$seeds" ] || { echo "missing seed corpus $seeds" >&2; exit 1; }
  # What the fuzzer finds worth keeping grows in the build tree, never in the repository.
  mkdir -p "$build/corpus/$target"
  log="$build/logs/$target.log"
  if UBSAN_OPTIONS=print_stacktrace=1 "$program" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
      "$build/corpus/$target" "$seeds" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$target: ${runs:-?} inputs in ${seconds} s, no finding"
  else
    echo "$target: FINDING (log $log)"
    grep -E "ERROR|SUMMARY|property violated|runtime error|Test unit written" "$log" | head -20
    failed+=("$target")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
