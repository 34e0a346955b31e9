#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) in build-fuzz and runs
# each for SECONDS (default 60) on a copy of its seed corpus.
#   scripts/fuzz.sh [SECONDS [TARGET...]]
# A finding stops the run: the input is kept in build-fuzz/findings/ and the
# script fails. Each target's executions go to build-fuzz/fuzz-stats.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_PER_TARGET=${1:-60}
shift || true
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=(fuzz_action_query fuzz_splitters fuzz_websocket fuzz_xml_store fuzz_key_value
           fuzz_multipart)
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DKT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target "${TARGETS[@]}"

mkdir -p build-fuzz/findings
export ASAN_OPTIONS=halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${TARGETS[@]}"; do
  work=build-fuzz/corpus/$t
  mkdir -p "$work"
  extra=()
  # The in-process server frees a request's memory on its own threads after
  # the answer, so libFuzzer's per-input leak check would see false leaks.
  [ "$t" = fuzz_multipart ] && extra+=(-detect_leaks=0)
  echo "== $t: ${SECONDS_PER_TARGET}s"
  log=build-fuzz/$t.log
  if ! build-fuzz/fuzz/$t -max_total_time="$SECONDS_PER_TARGET" -timeout=30 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=build-fuzz/findings/$t- \
        "${extra[@]}" "$work" "fuzz/corpus/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$t: FINDING (input in build-fuzz/findings/)" >&2
    exit 1
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  echo "$t: ${execs} executions in ${SECONDS_PER_TARGET}s, no finding" | tee -a build-fuzz/fuzz-stats.txt
done
echo "fuzz: ${#TARGETS[@]} passed, 0 failed"
