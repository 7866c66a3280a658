#include "port_table.h"

#include <process.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "port_list.h"

PortTable portTable = {};

namespace {

void closeDevice(HANDLE handle) {
    if (handle != noDevice()) CloseHandle(handle);
}

// Runs on a thread of its own, and holds a reference to this module that
// closeSerialPort took for it: a host may unload the module the moment the
// close returns, and this code must stay mapped until the thread is out of it.
unsigned __stdcall closeThread(void* handle) {
    closeDevice(handle);
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&closeThread), &self);
    FreeLibraryAndExitThread(self, 0);
}

// A module reference for the close thread, or null.
HMODULE holdModule() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&closeThread), &self))
        return nullptr;
    return self;
}

// Milliseconds, rounded up, that `count` bytes of `frameBits` bits take at
// `baudRate`.
uint64_t lineMs(uint64_t count, uint32_t frameBits, uint32_t baudRate) {
    if (baudRate == 0) return 0;
    return (count * frameBits * 1000 + baudRate - 1) / baudRate;
}

// Closes the device on every path that leaves before the record is filed.
struct DeviceGuard {
    HANDLE handle;
    ~DeviceGuard() { closeDevice(handle); }
    HANDLE release() {
        HANDLE h = handle;
        handle = noDevice();
        return h;
    }
};

// Takes the failed call's code, then closes the device.
OpenResult failAfterOpen(DeviceGuard& device, OpenStep step, const char* portName) {
    const DWORD code = GetLastError();
    closeDevice(device.release());
    return {step, 0, portName, code};
}

BYTE parityFor(uint32_t parity) {
    if (parity == 1) return ODDPARITY;
    if (parity == 2) return EVENPARITY;
    return NOPARITY;
}

BYTE stopBitsFor(uint32_t stopBits) { return stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT; }

// On a pseudo-terminal under Wine the parity bit never sticks, and once the
// rest of the settings are in place the C library's tcsetattr calls a request
// that changes nothing a failure (87). A pass through no parity makes it a
// change again. Any other failure stands, with the first call's code.
bool setStateThroughNoParity(HANDLE device, DCB* dcb) {
    const DWORD code = GetLastError();
    DCB plain = *dcb;
    plain.Parity = NOPARITY;
    if (code == ERROR_INVALID_PARAMETER && dcb->Parity != NOPARITY && SetCommState(device, &plain) &&
        SetCommState(device, dcb))
        return true;
    SetLastError(code);
    return false;
}

// Raw binary mode: bytes pass as they are, whatever another program left set.
void makeRaw(DCB* dcb) {
    dcb->fBinary = 1;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fNull = 0;
    dcb->fErrorChar = 0;
    dcb->fDsrSensitivity = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
}

}  // namespace

bool applyState(HANDLE device, DCB* dcb) { return SetCommState(device, dcb) || setStateThroughNoParity(device, dcb); }

void resetPortTable() { portTable = PortTable{}; }

COMMTIMEOUTS portTimeouts(uint32_t baudRate, uint32_t frameBits) {
    if (baudRate < kSlowestTimedRate) baudRate = kSlowestTimedRate;
    DWORD perByte = static_cast<DWORD>(lineMs(2, frameBits, baudRate));
    DWORD interval = static_cast<DWORD>(lineMs(4, frameBits, baudRate));
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = interval > kReadIntervalTimeout ? interval : kReadIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = perByte > kReadTotalMultiplier ? perByte : kReadTotalMultiplier;
    timeouts.ReadTotalTimeoutConstant = kReadTotalConstant;
    timeouts.WriteTotalTimeoutMultiplier = perByte > kWriteTotalMultiplier ? perByte : kWriteTotalMultiplier;
    timeouts.WriteTotalTimeoutConstant = kWriteTotalConstant;
    return timeouts;
}

uint32_t wireTimeMs(const OpenPort& port, uint32_t byteCount) {
    uint64_t ms = lineMs(byteCount, port.frameBits, port.baudRate);
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

OpenPort* findOpenPort(uint32_t port) {
    if (port < 1) return nullptr;
    if (port - 1 >= portTable.slotCount) return nullptr;
    return portTable.slots[port - 1].get();
}

OpenResult openPort(uint32_t index, uint32_t baudRate, uint32_t stopBits, uint32_t parity) {
    const char* portName = listedDeviceName(index);
    if (!portName) return {OpenStep::NotListed, 0, nullptr, 0};

    size_t nameLength = strlen(portName);
    std::unique_ptr<char[]> path(new (std::nothrow) char[nameLength + 10]);
    if (!path) return {OpenStep::NoMemory, 0, portName, 0};
    snprintf(path.get(), nameLength + 10, "\\\\.\\%s", portName);
    DeviceGuard device{CreateFileA(path.get(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr)};
    path.reset();
    if (device.handle == noDevice()) {
        const DWORD code = GetLastError();
        return {code == ERROR_FILE_NOT_FOUND ? OpenStep::NotFound : OpenStep::OpenFailed, 0, portName, code};
    }

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(device.handle, &dcb)) return failAfterOpen(device, OpenStep::GetState, portName);
    dcb.BaudRate = baudRate ? baudRate : kDefaultBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = parityFor(parity);
    dcb.StopBits = stopBitsFor(stopBits);
    makeRaw(&dcb);
    if (!applyState(device.handle, &dcb)) return failAfterOpen(device, OpenStep::SetState, portName);

    const uint32_t frameBits = 1 + 8 + (dcb.Parity != NOPARITY) + (dcb.StopBits == TWOSTOPBITS ? 2 : 1);
    COMMTIMEOUTS timeouts = portTimeouts(dcb.BaudRate, frameBits);
    if (!SetCommTimeouts(device.handle, &timeouts)) return failAfterOpen(device, OpenStep::SetTimeouts, portName);

    // Out of memory from here on: the guard closes the device and the table
    // stays as it was.
    try {
        std::unique_ptr<OpenPort> record(new OpenPort);
        record->portName.reset(new char[nameLength + 1]);
        memcpy(record->portName.get(), portName, nameLength + 1);
        record->ahead.bytes.reset(new uint8_t[ReadAhead::kRoom]);

        uint32_t position = 0;
        while (position < portTable.slotCount && portTable.slots[position]) ++position;
        if (position >= portTable.capacity) {
            uint32_t capacity = portTable.capacity + portTable.capacity / 2;
            if (capacity < 2) capacity = 2;
            std::unique_ptr<std::unique_ptr<OpenPort>[]> slots(new std::unique_ptr<OpenPort>[capacity]);
            for (uint32_t i = 0; i < portTable.slotCount; ++i) slots[i] = std::move(portTable.slots[i]);
            portTable.slots = std::move(slots);
            portTable.capacity = capacity;
        }
        record->baudRate = dcb.BaudRate;
        record->frameBits = frameBits;
        record->dcb = dcb;
        record->osHandle = device.release();
        portTable.slots[position] = std::move(record);
        if (position == portTable.slotCount) ++portTable.slotCount;
        return {OpenStep::Opened, position + 1, portName, 0};
    } catch (const std::bad_alloc&) {
        return {OpenStep::NoMemory, 0, portName, 0};
    }
}

// How long a close waits for its close thread. A host may end its process
// the moment the close returns; under Wine a thread still starting or ending
// then can crash the process or hang its exit. A close that takes longer (a
// device that holds its unsent output) goes on without the caller.
constexpr DWORD kCloseWaitMs = 1000;

void closePort(uint32_t port) {
    OpenPort* record = findOpenPort(port);
    if (!record) return;
    HANDLE handle = record->osHandle;
    uintptr_t thread = 0;
    if (HMODULE self = holdModule()) {
        thread = _beginthreadex(nullptr, 0, closeThread, handle, 0, nullptr);
        if (!thread) FreeLibrary(self);
    }
    if (thread) {
        WaitForSingleObject(reinterpret_cast<HANDLE>(thread), kCloseWaitMs);
        CloseHandle(reinterpret_cast<HANDLE>(thread));
    } else {
        closeDevice(handle);  // no thread: close here rather than hold the device
    }
    portTable.slots[port - 1].reset();
}

void closeAllPorts() {
    for (uint32_t i = 0; i < portTable.slotCount; ++i) {
        if (!portTable.slots[i]) continue;
        closeDevice(portTable.slots[i]->osHandle);
        portTable.slots[i].reset();
    }
}
