#!/usr/bin/env bash
# The DLL a host loads: exactly the thirteen exports under their exported
# names, and imports from Windows system DLLs only (everything else linked in).
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
table=$("$objdump" -p "$dll")

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
expected=$(sort <<'NAMES'
?CloseSerialPort@@YAXI@Z
?EnumerateSerialPorts@@YAHXZ
?GetSerialBytesAvailable@@YAHI@Z
?GetSerialPortName@@YAPADI@Z
?GetSerialPortDescription@@YAPADI@Z
?GetSerialPortHardwareId@@YAPADI@Z
?GetSerialPortUsbId@@YAPADI@Z
?OpenSerialPort@@YAHIIII@Z
?ReadSerialData@@YAPADII@Z
?ReceiveSerialFile@@YAHIPADH@Z
?SendSerialFile@@YAHIPADH@Z
?WriteSerialData@@YAHIPADH@Z
ReceiveORVPtr
NAMES
)
status=0
if [ "$exports" != "$expected" ]; then
    echo "export table differs:"; diff <(echo "$expected") <(echo "$exports") || true
    status=1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$table" | sort -u)
for name in $imports; do
    case "${name^^}" in
        KERNEL32.DLL | ADVAPI32.DLL | MSVCRT.DLL | SETUPAPI.DLL) ;;
        *) echo "imports from a non-system DLL: $name"; status=1 ;;
    esac
done
# SETUPAPI.dll (port details): only these ANSI functions, all on Windows XP.
setupapi=$(sed -n '/DLL Name: SETUPAPI.dll/I,/^$/p' <<<"$table" | awk 'NR > 2 && NF >= 3 {print $3}' | sort)
setupapi_expected=$(sort <<'NAMES'
SetupDiDestroyDeviceInfoList
SetupDiEnumDeviceInfo
SetupDiGetClassDevsA
SetupDiGetDeviceInstanceIdA
SetupDiGetDeviceRegistryPropertyA
SetupDiOpenDevRegKey
NAMES
)
if [ "$setupapi" != "$setupapi_expected" ]; then
    echo "SETUPAPI.dll imports differ:"; diff <(echo "$setupapi_expected") <(echo "$setupapi") || true
    status=1
fi
grep -q 'Resource Directory' <<<"$table" || { echo "no resources (VERSIONINFO missing)"; status=1; }
[ $status -eq 0 ] && echo "exports: $(wc -l <<<"$exports"), imports: $(echo $imports)"
exit $status
