// The open-port table: one record per open port, found by its port handle
// (slot position plus one). This is the device layer: it opens, sets and
// closes devices and hands back what happened, with the system's error code;
// it makes no reports and prints nothing.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

// The one value for "no device" in a record or a guard.
inline HANDLE noDevice() { return INVALID_HANDLE_VALUE; }

// Bytes a read brought in beyond what its caller took, served first by the
// next read of the port. Every read of an open port goes through it.
struct ReadAhead {
    static constexpr size_t kRoom = 64 * 1024;
    std::unique_ptr<uint8_t[]> bytes;  // kRoom bytes, from the open on
    size_t start = 0;
    size_t held = 0;
};

enum class FlowControl { None = 0, RtsCts = 1, XonXoff = 2 };

struct OpenPort {
    std::unique_ptr<char[]> portName;
    HANDLE osHandle = noDevice();
    uint32_t baudRate = 0;   // the rate set on the device
    uint32_t frameBits = 0;  // bits a byte takes on the wire: start, 8 data, parity, stop
    // The settings as last set. Changes start from these rather than from
    // GetCommState, which reads parity and byte size back wrongly on some
    // drivers (Wine's on a pty).
    DCB dcb;
    FlowControl flow = FlowControl::None;
    bool rtsRaised = true;   // RTS as the script wants it when no handshake drives it
    ReadAhead ahead;
};

struct PortTable {
    uint32_t capacity;
    uint32_t slotCount;
    std::unique_ptr<std::unique_ptr<OpenPort>[]> slots;
};

extern PortTable portTable;

// Port time-outs. A read or write of n bytes is bounded by
// multiplier * n + 50 ms, and a read ends once the line has been quiet for the
// interval after a byte. At 2400 baud and up these are the fixed values
// below: 10 ms a byte and a 50 ms interval. On slower lines a byte's time on
// the wire would eat them, so they grow with it: the multiplier to twice a
// byte's wire time, the interval to four times.
constexpr DWORD kReadIntervalTimeout = 50;
constexpr DWORD kReadTotalMultiplier = 10;
constexpr DWORD kReadTotalConstant = 50;
constexpr DWORD kWriteTotalMultiplier = 10;
constexpr DWORD kWriteTotalConstant = 50;
constexpr DWORD kDefaultBaudRate = 57600;
constexpr DWORD kSlowestTimedRate = 50;  // slower rates get this rate's time-outs

COMMTIMEOUTS portTimeouts(uint32_t baudRate, uint32_t frameBits);

// Milliseconds that `byteCount` bytes take on the port's wire, rounded up.
uint32_t wireTimeMs(const OpenPort& port, uint32_t byteCount);

// The record of an open port, or null when `port` names none.
OpenPort* findOpenPort(uint32_t port);

// How far an open got.
enum class OpenStep {
    Opened,       // `port` is the new handle
    NotListed,    // the index names no listed port
    NotFound,     // no such device (ERROR_FILE_NOT_FOUND)
    OpenFailed,   // CreateFileA failed with `code`
    GetState,     // GetCommState failed with `code`
    SetState,     // SetCommState failed with `code`
    SetTimeouts,  // SetCommTimeouts failed with `code`
    NoMemory,
};

struct OpenResult {
    OpenStep step;
    uint32_t port;     // the port handle when Opened, else 0
    const char* name;  // the listed port's name, when there is one
    DWORD code;        // the failed call's system error code
};

// Opens the listed port `index` in raw binary mode with 8 data bits, the rate
// (0: 57600), one or two stop bits and no, odd or even parity, and the port
// time-outs; DTR and RTS raised, no flow control. Nothing of what another
// program left set may alter the bytes: no XON/XOFF, no NUL stripping, no
// error character, no DSR sensitivity. After a failure nothing stays open and
// the table is as it was.
OpenResult openPort(uint32_t index, uint32_t baudRate, uint32_t stopBits, uint32_t parity);

// SetCommState, with a retry through no parity where a driver refuses a
// request that changes nothing (Wine on a pty, with parity).
bool applyState(HANDLE device, DCB* dcb);

// Frees the record and its slot at once; the device is closed on a short-lived
// thread of its own, which a close waits for up to a second.
void closePort(uint32_t port);

// Closes every open device where it stands and empties the table: the
// module is being unloaded, and a handle left open would keep its port busy
// until the process ends.
void closeAllPorts();

void resetPortTable();  // back to the load-time table (tests)
