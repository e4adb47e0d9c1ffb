#!/usr/bin/env bash
# Lists the library's exported functions and compares them with the expected set:
# the family's functions, and the QMR_ extensions the header declares (argument 2).
set -euo pipefail
lib=$1
ext_header=${2:-}
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
if [ -n "$ext_header" ]; then
  declared=$(grep -o 'QMR_CALL QMR_[A-Za-z0-9]*(' "$ext_header" | sed 's/QMR_CALL //; s/($//' | sort)
  exported=$(echo "$actual" | grep '^QMR_' || true)
  if [ "$declared" != "$exported" ]; then
    echo "QMR_ exports differ from the header (< declared, > exported):"
    diff <(echo "$declared") <(echo "$exported") || true; exit 1
  fi
fi
echo "$(echo "$family" | wc -l) family exports, $(echo "$actual" | grep -c '^QMR_') QMR_ exports"
