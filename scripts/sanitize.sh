#!/usr/bin/env bash
# Builds everything with a sanitizer (clang) in its own build directory and
# runs the tests there; the integration tests take the binaries from it.
#   scripts/sanitize.sh address [CTEST_ARGS...]  ASan + UBSan, whole suite (build-asan)
#   scripts/sanitize.sh thread  [CTEST_ARGS...]  TSan, the concurrency tests (build-tsan)
# Every sanitizer report of any test process lands in
# BUILD_DIR/sanitizer-reports/ and fails the run (test sanitizer_reports_none).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:?usage: $0 address|thread [ctest args]}
shift
case "$kind" in
  address) dir=build-asan; select=() ;;
  thread)  dir=build-tsan; select=(-L concurrency) ;;
  *) echo "usage: $0 address|thread [ctest args]" >&2; exit 2 ;;
esac
CC=clang CXX=clang++ cmake -S . -B "$dir" -DKT_SANITIZE="$kind" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j"$(nproc)"
cd "$dir"
ctest --output-on-failure "${select[@]}" "$@"
