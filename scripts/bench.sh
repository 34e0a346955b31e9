#!/usr/bin/env bash
# Builds in release mode (build-release, with the benchmark programs of
# bench/) and runs every benchmark on 127.0.0.1, each bounded in time; prints
# one table of our figures beside the peers' (medians of KT_BENCH_RUNS runs,
# default 3). As root on Debian 12 it first installs what is missing.
#   scripts/bench.sh               # the whole table, 11-18 minutes
#   KT_BENCH_ONLY=1,3 scripts/bench.sh      # only some items
#   KT_BENCH_README=1 scripts/bench.sh      # also put the table into README.md
set -euo pipefail
cd "$(dirname "$0")/.."
bash bench/install.sh >/dev/null
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKT_BENCH=ON >/dev/null
cmake --build build-release -j"$(nproc)" --target ktwebserver devctl-sim xml2json DevLink \
  cw-minimal ktbench-growmem ktbench-relay >/dev/null
export KT_BUILD_DIR=$PWD/build-release
exec python3 bench/bench.py
