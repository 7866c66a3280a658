// The open-port table: one record per open port, found by its port handle
// (slot position plus one).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

struct OpenPort {
    std::unique_ptr<char[]> portName;
    HANDLE osHandle = INVALID_HANDLE_VALUE;
    uint32_t baudRate = 0;   // the rate set on the device
    uint32_t frameBits = 0;  // bits a byte takes on the wire: start, 8 data, parity, stop
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

int openSerialPort(uint32_t index, uint32_t baudRate, uint32_t stopBits, uint32_t parity);
void closeSerialPort(uint32_t port);
void resetPortTable();  // back to the load-time table (tests)
