#!/usr/bin/env bash
# The station's window on four simulated devices with realistic timing. The
# station folder is build/station-gui: the starter catalogue is copied in if
# missing, with a sample package (sample.vlr) and SD image (sample.img) to
# choose. Extra arguments go to the program.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN="$ROOT/${BUILD_DIR:-build}/bin"
STATION="$ROOT/${BUILD_DIR:-build}/station-gui"

mkdir -p "$STATION"
[ -f "$STATION/SpiList.ini" ] || cp "$ROOT/data/SpiList.ini" "$STATION/"
if [ ! -f "$STATION/sample.vlr" ] || [ ! -f "$STATION/sample.img" ]; then
  "$BIN/ardentix-cli" make-samples "$STATION" >/dev/null || echo "gui: no sample files made; choose your own" >&2
fi
cat >"$STATION/devices.json" <<'JSON'
{"timing": "realistic",
 "devices": [
   {"letter": "E", "serial": "000000012345"},
   {"letter": "F", "serial": "000000012346"},
   {"letter": "G", "serial": "000000012347"},
   {"letter": "H", "serial": "000000012348"}]}
JSON

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "gui: no display (DISPLAY is not set); './run.sh screenshot' renders the window without one" >&2
  exit 1
fi
echo "Station folder: $STATION (sample.vlr and sample.img are there to choose)"
exec "$BIN/ardentix" --station-dir "$STATION" --simulate "$STATION/devices.json" "$@"
