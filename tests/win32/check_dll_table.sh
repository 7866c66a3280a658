#!/usr/bin/env bash
# The DLL a host loads: exactly the twenty exports under their exported
# names, each decorated name standing for the signature pinned beside it (as
# llvm-undname reads it back), and imports from Windows system DLLs only
# (everything else linked in): exactly the functions pinned below, each of
# which Windows XP SP3 exports, so that a new import is a decision. The image
# must also claim no newer subsystem than XP's (5.1), or XP refuses to load it.
set -euo pipefail
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
undname=${UNDNAME:-llvm-undname}
table=$("$objdump" -p "$dll")

signatures=$(cat <<'NAMES'
?CloseSerialPort@@YAXI@Z void __cdecl CloseSerialPort(unsigned int)
?EnumerateSerialPorts@@YAHXZ int __cdecl EnumerateSerialPorts(void)
?FlushSerialPort@@YAHIH@Z int __cdecl FlushSerialPort(unsigned int, int)
?GetSerialBytesAvailable@@YAHI@Z int __cdecl GetSerialBytesAvailable(unsigned int)
?GetSerialLines@@YAHI@Z int __cdecl GetSerialLines(unsigned int)
?GetSerialPortDescription@@YAPADI@Z char * __cdecl GetSerialPortDescription(unsigned int)
?GetSerialPortHardwareId@@YAPADI@Z char * __cdecl GetSerialPortHardwareId(unsigned int)
?GetSerialPortName@@YAPADI@Z char * __cdecl GetSerialPortName(unsigned int)
?GetSerialPortUsbId@@YAPADI@Z char * __cdecl GetSerialPortUsbId(unsigned int)
?OpenSerialPort@@YAHIIII@Z int __cdecl OpenSerialPort(unsigned int, unsigned int, unsigned int, unsigned int)
?ReadSerialData@@YAPADII@Z char * __cdecl ReadSerialData(unsigned int, unsigned int)
?ReadSerialUntil@@YAPADIPADI@Z char * __cdecl ReadSerialUntil(unsigned int, char *, unsigned int)
?ReceiveSerialFile@@YAHIPADH@Z int __cdecl ReceiveSerialFile(unsigned int, char *, int)
?SendSerialBreak@@YAHII@Z int __cdecl SendSerialBreak(unsigned int, unsigned int)
?SendSerialFile@@YAHIPADH@Z int __cdecl SendSerialFile(unsigned int, char *, int)
?SetSerialFlowControl@@YAHIH@Z int __cdecl SetSerialFlowControl(unsigned int, int)
?SetSerialLines@@YAHIHH@Z int __cdecl SetSerialLines(unsigned int, int, int)
?SetSerialSpeed@@YAHII@Z int __cdecl SetSerialSpeed(unsigned int, unsigned int)
?WriteSerialData@@YAHIPADH@Z int __cdecl WriteSerialData(unsigned int, char *, int)
NAMES
)
exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
expected=$( (cut -d' ' -f1 <<<"$signatures"; echo ReceiveORVPtr) | sort)
status=0
if [ "$exports" != "$expected" ]; then
    echo "export table differs:"; diff <(echo "$expected") <(echo "$exports") || true
    status=1
fi
while read -r name signature; do
    read_back=$("$undname" "$name" | sed -n 2p)
    if [ "$read_back" != "$signature" ]; then
        echo "$name reads back as \"$read_back\", not \"$signature\""
        status=1
    fi
done <<<"$signatures"
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$table" | sort -u)
for name in $imports; do
    case "${name^^}" in
        KERNEL32.DLL | ADVAPI32.DLL | MSVCRT.DLL | SETUPAPI.DLL) ;;
        *) echo "imports from a non-system DLL: $name"; status=1 ;;
    esac
done
# "DLL function" for every function imported by name.
imported=$(awk '/DLL Name:/ { dll = $3; next }
                dll && /^\t[0-9a-f]+\t +[0-9]+ +[A-Za-z_]/ { print dll, $3 }' <<<"$table" | sort)
allowed=$(sort <<'IMPORTS'
ADVAPI32.dll RegCloseKey
ADVAPI32.dll RegEnumValueA
ADVAPI32.dll RegOpenKeyExA
ADVAPI32.dll RegQueryInfoKeyA
ADVAPI32.dll RegQueryValueExA
SETUPAPI.dll SetupDiDestroyDeviceInfoList
SETUPAPI.dll SetupDiEnumDeviceInfo
SETUPAPI.dll SetupDiGetClassDevsA
SETUPAPI.dll SetupDiGetDeviceInstanceIdA
SETUPAPI.dll SetupDiGetDeviceRegistryPropertyA
SETUPAPI.dll SetupDiOpenDevRegKey
KERNEL32.dll ClearCommBreak
KERNEL32.dll ClearCommError
KERNEL32.dll CloseHandle
KERNEL32.dll CreateFileA
KERNEL32.dll CreateSemaphoreW
KERNEL32.dll DeleteCriticalSection
KERNEL32.dll EnterCriticalSection
KERNEL32.dll FreeLibrary
KERNEL32.dll FreeLibraryAndExitThread
KERNEL32.dll GetCommModemStatus
KERNEL32.dll GetCommState
KERNEL32.dll GetCurrentThreadId
KERNEL32.dll GetLastError
KERNEL32.dll GetModuleHandleA
KERNEL32.dll GetModuleHandleExA
KERNEL32.dll GetModuleHandleW
KERNEL32.dll GetProcAddress
KERNEL32.dll GetTickCount
KERNEL32.dll InitializeCriticalSection
KERNEL32.dll IsDBCSLeadByteEx
KERNEL32.dll LeaveCriticalSection
KERNEL32.dll LoadLibraryA
KERNEL32.dll MultiByteToWideChar
KERNEL32.dll PurgeComm
KERNEL32.dll ReadFile
KERNEL32.dll ReleaseSemaphore
KERNEL32.dll SetCommBreak
KERNEL32.dll SetCommState
KERNEL32.dll SetCommTimeouts
KERNEL32.dll SetLastError
KERNEL32.dll Sleep
KERNEL32.dll TlsAlloc
KERNEL32.dll TlsFree
KERNEL32.dll TlsGetValue
KERNEL32.dll TlsSetValue
KERNEL32.dll VirtualProtect
KERNEL32.dll VirtualQuery
KERNEL32.dll WaitForSingleObject
KERNEL32.dll WideCharToMultiByte
KERNEL32.dll WriteFile
msvcrt.dll __mb_cur_max
msvcrt.dll _amsg_exit
msvcrt.dll _beginthreadex
msvcrt.dll _errno
msvcrt.dll _initterm
msvcrt.dll _iob
msvcrt.dll _lock
msvcrt.dll _unlock
msvcrt.dll abort
msvcrt.dll atoi
msvcrt.dll calloc
msvcrt.dll fputc
msvcrt.dll fputs
msvcrt.dll free
msvcrt.dll fwrite
msvcrt.dll localeconv
msvcrt.dll malloc
msvcrt.dll memchr
msvcrt.dll memcmp
msvcrt.dll memcpy
msvcrt.dll memmove
msvcrt.dll memset
msvcrt.dll realloc
msvcrt.dll setlocale
msvcrt.dll strchr
msvcrt.dll strcmp
msvcrt.dll strerror
msvcrt.dll strlen
msvcrt.dll strncmp
msvcrt.dll vfprintf
msvcrt.dll wcslen
IMPORTS
)
if [ "$imported" != "$allowed" ]; then
    echo "imported functions differ from the pinned list (< pinned, > imported):"
    diff <(echo "$allowed") <(echo "$imported") | grep '^[<>]' || true
    status=1
fi
subsystem=$(awk '/^MajorSubsystemVersion/ { major = $2 } /^MinorSubsystemVersion/ { minor = $2 }
                 END { print major * 100 + minor }' <<<"$table")
[ "$subsystem" -le 501 ] || { echo "subsystem version $subsystem is newer than Windows XP's (501)"; status=1; }
grep -q 'Resource Directory' <<<"$table" || { echo "no resources (VERSIONINFO missing)"; status=1; }
[ $status -eq 0 ] && echo "exports: $(wc -l <<<"$exports"), imports: $(wc -l <<<"$imported") functions from $(echo $imports)"
exit $status
