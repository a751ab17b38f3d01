#!/usr/bin/env bash
# flasher-win.exe and flasher-probe.exe must run on a bare Windows: they may
# import only system DLLs (no mingw runtime such as libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll), and CM_Get_Device_IDA must come
# from CFGMGR32.dll.
# Usage: check_imports.sh <objdump> <exe> [function:dll | function:- ...]
#   Each further argument names a function the exe must import from that DLL,
#   or (with -) must not import at all. Without any: flasher-win.exe's, which
#   reads no driver property, no Device Manager status, no pipe beyond the
#   first two and no error text (those are flasher-probe.exe's alone).
set -euo pipefail
objdump=$1
exe=$2
shift 2
checks=("$@")
[ ${#checks[@]} -gt 0 ] ||
  checks=(CM_Get_Device_IDA:cfgmgr32.dll SetupDiGetClassDevsExA:setupapi.dll
          WinUsb_WritePipe:winusb.dll WinUsb_SetPipePolicy:winusb.dll Sleep:kernel32.dll
          SetupDiGetDeviceRegistryPropertyA:- CM_Get_DevNode_Status:-
          WinUsb_QueryInterfaceSettings:- FormatMessageA:-)

dump=$("$objdump" -p "$exe")
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)

allowed='^(kernel32|msvcrt|ucrtbase|advapi32|ntdll|user32|setupapi|cfgmgr32|winusb|api-ms-win-[a-z0-9-]+)\.dll$'
status=0
for dll in "${dlls[@]}"; do
  if ! [[ $dll =~ $allowed ]]; then
    echo "not a system DLL: $dll"
    status=1
  fi
done
for needed in kernel32.dll setupapi.dll cfgmgr32.dll winusb.dll; do
  if ! printf '%s\n' "${dlls[@]}" | grep -qx "$needed"; then
    echo "missing import: $needed"
    status=1
  fi
done

# The functions of each DLL follow its "DLL Name:" line.
imported_from() {
  awk -v fn="$1" '/DLL Name:/ { dll = tolower($3) } $NF == fn && NF == 3 { print dll }' <<<"$dump"
}
for check in "${checks[@]}"; do
  fn=${check%%:*} want=${check#*:}
  got=$(imported_from "$fn" | tr '\n' ' ')
  if [ "$want" = - ]; then
    [ -z "$got" ] || { echo "$fn imported from '${got% }', expected no import"; status=1; }
  elif [ "$got" != "$want " ]; then
    echo "$fn imported from '${got% }', expected $want"
    status=1
  fi
done

[ $status -eq 0 ] && echo "imports: ${dlls[*]}"
exit $status
