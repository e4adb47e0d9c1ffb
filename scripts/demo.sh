#!/usr/bin/env bash
# The demo: eight simulated devices with realistic timing, burned with a
# sample package and SD image, SD1 and SPI both on.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN="$ROOT/build/bin"
STATION="$ROOT/build/demo-station"

rm -rf "$STATION"
mkdir -p "$STATION"
cp "$ROOT/data/SpiList.ini" "$STATION/SpiList.ini"
"$BIN/ardentix-cli" make-samples "$STATION/samples" --sd-kb 16384 >/dev/null

devices=""
for letter in E F G H I J K L; do devices="$devices${devices:+,}{\"letter\":\"$letter\"}"; done
echo "{\"timing\":\"realistic\",\"devices\":[$devices]}" >"$STATION/devices.json"

echo "Burning eight simulated devices (SD image 16 MiB, flash package $(stat -c %s "$STATION/samples/sample.vlr") bytes)..."
status=0
"$BIN/ardentix-cli" burn --simulate "$STATION/devices.json" --station-dir "$STATION" \
  --sd1 "$STATION/samples/sample.img" --flash "$STATION/samples/sample.vlr" \
  --json "$STATION/report.json" || status=$?
echo "Each device keeps the serial number it came with (report: $STATION/report.json)."

exit $status
