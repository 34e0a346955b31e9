#!/usr/bin/env bash
# Runs the server with the device-control simulator in a sandbox device tree,
# ready to open in a browser. Ctrl-C stops both.
#   scripts/run-sandbox.sh [DIR] [HTTP_PORT] [HTTPS_PORT]
set -euo pipefail
TOP=$(cd "$(dirname "$0")/.." && pwd)
DIR=${1:-$TOP/sandbox}
HTTP_PORT=${2:-8080}
HTTPS_PORT=${3:-8443}

if [ ! -x "$TOP/build/ktwebserver" ] || [ ! -x "$TOP/build/devctl-sim" ]; then
  bash "$TOP/scripts/install-deps.sh"
  cmake -S "$TOP" -B "$TOP/build" >/dev/null
  cmake --build "$TOP/build" -j"$(nproc)"
fi
ROOT=$(bash "$TOP/scripts/make-sandbox.sh" "$DIR" "$HTTP_PORT" "$HTTPS_PORT")
export DEVICE_ROOT=$ROOT

"$TOP/build/devctl-sim" --socket "$ROOT/run/devlink.sock" --journal "$ROOT/devctl.journal" &
SIM=$!
trap 'kill $SIM 2>/dev/null; wait $SIM 2>/dev/null' EXIT
for _ in $(seq 50); do [ -S "$ROOT/run/devlink.sock" ] && break; sleep 0.1; done

cat <<MSG
Sandbox device tree: $ROOT
Open http://127.0.0.1:$HTTP_PORT/ or https://127.0.0.1:$HTTPS_PORT/ (self-signed)
and log in as admin / admin123. Ctrl-C stops.
MSG
cd "$ROOT"
"$TOP/build/ktwebserver" -m both &
SRV=$!
trap 'kill $SRV 2>/dev/null; wait $SRV 2>/dev/null; kill $SIM 2>/dev/null; wait $SIM 2>/dev/null' EXIT INT TERM
wait $SRV
