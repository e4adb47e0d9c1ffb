#!/usr/bin/env bash
# The demo: four simulated devices, probed through the device library.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN="$ROOT/build/bin"
echo "Probing four simulated devices (QMR52916_SIMULATE=4):"
QMR52916_SIMULATE=4 "$BIN/ardentix-cli" probe
