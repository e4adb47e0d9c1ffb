#!/usr/bin/env bash
# Renders the window during a simulated burn and the catalogue dialog into
# docs/main-window.png and docs/catalogue.png, under a virtual X server.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN="$ROOT/${BUILD_DIR:-build}/bin"
STATION="$ROOT/${BUILD_DIR:-build}/station-screenshot"

rm -rf "$STATION"
mkdir -p "$STATION" "$ROOT/docs"
cp "$ROOT/data/SpiList.ini" "$STATION/"
xvfb-run -a -s "-screen 0 1600x1000x24 -dpi 96" \
  "$BIN/ardentix-screenshot" --station-dir "$STATION" --out "$ROOT/docs"
