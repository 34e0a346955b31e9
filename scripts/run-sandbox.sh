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
# A taken port is named before anything starts; the server would only say
# that it could not start.
for port in "$HTTP_PORT" "$HTTPS_PORT"; do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "port $port is taken; choose others: $0 [DIR] HTTP_PORT HTTPS_PORT" >&2
    exit 1
  fi
done
ROOT=$(bash "$TOP/scripts/make-sandbox.sh" "$DIR" "$HTTP_PORT" "$HTTPS_PORT")
export DEVICE_ROOT=$ROOT

# Stops what this script started, on every way out. Runs without errexit: a
# process that already ended makes kill fail, which must not cut the
# clean-up short and leave the simulator behind.
SIM='' SRV=''
stop_all() {
  set +e
  trap - EXIT INT TERM HUP
  for pid in $SRV $SIM; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

"$TOP/build/devctl-sim" --socket "$ROOT/run/devlink.sock" --journal "$ROOT/devctl.journal" &
SIM=$!
for _ in $(seq 50); do [ -S "$ROOT/run/devlink.sock" ] && break; sleep 0.1; done

cd "$ROOT"
"$TOP/build/ktwebserver" -m both &
SRV=$!
# The ports open once the server runs; a port taken meanwhile ends it.
for _ in $(seq 100); do
  kill -0 "$SRV" 2>/dev/null || break
  (exec 3<>"/dev/tcp/127.0.0.1/$HTTP_PORT") 2>/dev/null && break
  sleep 0.1
done
if ! kill -0 "$SRV" 2>/dev/null; then
  wait "$SRV" || true
  echo "the server did not start: is port $HTTP_PORT or $HTTPS_PORT taken? (see above)" >&2
  exit 1
fi
cat <<MSG
Sandbox device tree: $ROOT
Open http://127.0.0.1:$HTTP_PORT/ or https://127.0.0.1:$HTTPS_PORT/ (self-signed)
and log in as admin / admin123; /console.html tries every route. Ctrl-C stops.
MSG
wait "$SRV"
