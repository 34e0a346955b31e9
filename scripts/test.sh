#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the suite, the
# unit tests and one suite of an arm64 build under emulation, the suite
# again under AddressSanitizer + UndefinedBehaviorSanitizer, and each fuzz
# target for KT_FUZZ_SECONDS (default 60). Arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
python3 scripts/check-links.py  # relative links and #anchors of every Markdown file
(cd build && ctest --output-on-failure --timeout 600 "$@")
# The device's architecture, under emulation: unit tests and the start-up
# suite of an arm64 cross build (build-arm64).
bash scripts/cross.sh arm64 --test -L unit
(cd build-arm64 && ctest --output-on-failure -R '^startup$')
bash scripts/sanitize.sh address --timeout 900 "$@"
bash scripts/fuzz.sh "${KT_FUZZ_SECONDS:-60}"
