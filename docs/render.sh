#!/usr/bin/env bash
# Regenerates docs/process.svg from docs/process.dot (Debian package graphviz).
set -euo pipefail
cd "$(dirname "$0")"
command -v dot >/dev/null || { echo "dot is missing: apt-get install graphviz" >&2; exit 1; }
dot -Tsvg process.dot -o process.svg
