#!/usr/bin/env bash
# Lists the library's exported functions and compares them with the expected set.
set -euo pipefail
lib=$1
expected="SDTest_GetReadTime SDTest_GetSector TVQ_BulkIn TVQ_BulkNone TVQ_BulkOut TVQ_FlashErase TVQ_FlashRead
TVQ_FlashWrite TVQ_GetDeviceLun TVQ_GetDeviceParentString TVQ_GetFlashID TVQ_GetUSBString TVQ_OpenDevice
TVQ_ReadFlashStatus TVQ_ReadSD TVQ_ResetDevice TVQ_SectorErase TVQ_SetSDOffset TVQ_WriteSD USB_Inquiry
USB_OpenDevice USB_ReadCapacity USB_ReadSD USB_WriteSD"
extra_expected="${EXTRA_EXPORTS:-}"
case "$lib" in
  *.dll) # the export table's names, as objdump -p lists them: "[   3] TVQ_FlashRead"
    actual=$("${OBJDUMP:-objdump}" -p "$lib" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort) ;;
  *) actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sort) ;;
esac
family=$(echo "$actual" | grep -E '^(TVQ_|USB_|SDTest_)' || true)
want=$(echo $expected $extra_expected | tr ' ' '\n' | sort)
if [ "$family" != "$want" ]; then
  echo "family exports differ:"; diff <(echo "$want") <(echo "$family") || true; exit 1
fi
others=$(echo "$actual" | grep -vE '^(TVQ_|USB_|SDTest_|QMR_)' || true)
if [ -n "$others" ]; then
  echo "unexpected exports:"; echo "$others"; exit 1
fi
for f in $(echo "$family"); do
  case "$f" in _Z*) echo "$f is not a C symbol"; exit 1 ;; esac
done
echo "$(echo "$family" | wc -l) family exports, $(echo "$actual" | grep -c '^QMR_') QMR_ exports"
