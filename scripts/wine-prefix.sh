#!/usr/bin/env bash
# Makes the Wine prefix that the Windows test programs run in, once:
#   scripts/wine-prefix.sh PREFIX
# Besides a fresh Windows, it has what the tests look for:
# - R: a removable drive (a folder beside the prefix);
# - programs named *_xp_tests.exe see Windows XP (major version 5), the
#   others a version from 6 on.
# Console programs only: no display is needed.
set -euo pipefail
prefix=$1
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
stamp=$prefix/.ardentix-ready
[ -f "$stamp" ] && exit 0

rm -rf "$prefix"
mkdir -p "$prefix"
timeout 300 wineboot -i >/dev/null 2>&1
mkdir -p "$prefix/removable-r"
ln -sfn "$prefix/removable-r" "$prefix/dosdevices/r:"
timeout 60 wine reg add 'HKLM\Software\Wine\Drives' /v 'r:' /d floppy /f >/dev/null
for exe in location_win32_xp_tests.exe; do
  timeout 60 wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$exe" /v Version /d winxp /f >/dev/null
done
# The drive types are read when Wine starts: start it again.
timeout 60 wineserver -w
touch "$stamp"
