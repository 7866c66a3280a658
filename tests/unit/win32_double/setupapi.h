// Test double: the SetupAPI subset the module uses (device information
// lists of a setup class, device properties, device keys). The scripted
// device registry behind it is in setupapi_double.h.
#pragma once

#include <windows.h>

#include <cstdint>

typedef void* HDEVINFO;
typedef uintptr_t ULONG_PTR;

typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

#define DIGCF_PRESENT 0x00000002
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_FRIENDLYNAME 0x0000000C
#define DICS_FLAG_GLOBAL 0x00000001
#define DIREG_DEV 0x00000001

#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13L
#endif
#ifndef ERROR_INSUFFICIENT_BUFFER
#define ERROR_INSUFFICIENT_BUFFER 122L
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784L
#endif

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, void* parent, DWORD flags);
BOOL SetupDiEnumDeviceInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA device);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO list, PSP_DEVINFO_DATA device, DWORD property, LPDWORD type,
                                       LPBYTE buffer, DWORD bufferSize, LPDWORD requiredSize);
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO list, PSP_DEVINFO_DATA device, LPSTR buffer, DWORD bufferSize,
                                 LPDWORD requiredSize);
HKEY SetupDiOpenDevRegKey(HDEVINFO list, PSP_DEVINFO_DATA device, DWORD scope, DWORD profile, DWORD keyType,
                          REGSAM access);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO list);
