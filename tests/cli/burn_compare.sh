#!/usr/bin/env bash
# Burns eight simulated devices with the Linux ardentix-cli and with
# ardentix-cli.exe under Wine, and checks that both write the same --json
# report (the seconds aside) and the same counters file, byte for byte.
#   burn_compare.sh LINUX_CLI WINDOWS_CLI WORK_DIR [WINE]
set -euo pipefail
linux_cli=$1 windows_cli=$2 work=$3 wine=${4:-wine}
source_dir=$(cd "$(dirname "$0")/../.." && pwd)

rm -rf "$work"
mkdir -p "$work"
"$linux_cli" make-samples "$work/samples" >/dev/null

# A Wine path for a Linux one: Wine shows / as Z:.
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }

burn() {  # burn SIDE COMMAND...
  local side=$1; shift
  local dir="$work/$side"
  mkdir -p "$dir"
  cp "$source_dir/data/SpiList.ini" "$dir/SpiList.ini"
  local status=0
  if [ "$side" = windows ]; then
    timeout 300 "$@" burn --simulate 8 --station-dir "$(windows_path "$dir")" \
      --sd1 "$(windows_path "$work/samples/sample.img")" --flash "$(windows_path "$work/samples/sample.vlr")" \
      --json "$(windows_path "$dir/report.json")" >"$dir/output.txt" 2>&1 || status=$?
  else
    timeout 300 "$@" burn --simulate 8 --station-dir "$dir" --sd1 "$work/samples/sample.img" \
      --flash "$work/samples/sample.vlr" --json "$dir/report.json" >"$dir/output.txt" 2>&1 || status=$?
  fi
  if [ $status -ne 0 ]; then
    echo "$side burn ended with status $status:"; tail -20 "$dir/output.txt"; exit 1
  fi
}

burn linux "$linux_cli"
burn windows "$wine" "$windows_cli"

# Times differ from run to run: every fractional number becomes T.
normalise() { sed -E 's/: -?[0-9]+\.[0-9]+(e[-+]?[0-9]+)?/: T/g' "$1"; }
if ! diff <(normalise "$work/linux/report.json") <(normalise "$work/windows/report.json"); then
  echo "the --json reports differ (left: Linux, right: Windows)"; exit 1
fi
grep -Eq '"passed": 8\b' "$work/windows/report.json" && grep -Eq '"failed": 0\b' "$work/windows/report.json" ||
  { echo "not all eight devices passed"; exit 1; }

ini=RQ4820Ardentix.ini
if ! cmp "$work/linux/$ini" "$work/windows/$ini"; then
  echo "the counters files differ:"; od -c "$work/linux/$ini"; od -c "$work/windows/$ini"; exit 1
fi
lines=$(wc -l <"$work/windows/$ini")
crlf=$(grep -c $'\r$' "$work/windows/$ini" || true)
[ "$lines" -gt 0 ] && [ "$lines" = "$crlf" ] || { echo "$ini: not every line ends in CR LF"; exit 1; }
echo "eight devices passed on Linux and under Wine; reports and $ini agree"
