#!/usr/bin/env bash
# Installs what the benchmarks need on top of the build dependencies: wrk and
# nginx from Debian, Node.js (Debian's, unless one is installed already) and
# the `ws` package from the npm registry, pinned by package-lock.json into
# bench/node-relay/node_modules (not committed). Idempotent.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

need=()
command -v wrk >/dev/null || need+=(wrk)
command -v nginx >/dev/null || need+=(nginx-light)
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

if [ ! -d bench/node-relay/node_modules/ws ]; then
  (cd bench/node-relay && npm ci --no-audit --no-fund --loglevel=error)
fi
echo "benchmark dependencies: ok"
