// The open-port table: one record per open port, found by its port handle
// (slot position plus one).
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

struct OpenPort {
    std::unique_ptr<char[]> portName;
    HANDLE osHandle = INVALID_HANDLE_VALUE;
};

struct PortTable {
    uint32_t capacity;
    uint32_t slotCount;
    std::unique_ptr<std::unique_ptr<OpenPort>[]> slots;
};

extern PortTable portTable;

// Fixed port time-outs: every read or write of n bytes is bounded by
// 10 * n + 50 ms, and a read ends 50 ms after the line goes quiet.
constexpr DWORD kReadIntervalTimeout = 50;
constexpr DWORD kReadTotalMultiplier = 10;
constexpr DWORD kReadTotalConstant = 50;
constexpr DWORD kWriteTotalMultiplier = 10;
constexpr DWORD kWriteTotalConstant = 50;
constexpr DWORD kDefaultBaudRate = 57600;

// The record of an open port, or null when `port` names none.
OpenPort* findOpenPort(uint32_t port);

int openSerialPort(uint32_t index, uint32_t baudRate, uint32_t stopBits, uint32_t parity);
void closeSerialPort(uint32_t port);
void resetPortTable();  // back to the load-time table (tests)
