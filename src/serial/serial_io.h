// Raw byte traffic on an open port: the three raw exports, and the device
// reads and writes that they and the transfers are built on.
#pragma once

#include <windows.h>

#include <cstdint>

#include "port_table.h"

enum class IoStatus {
    Done,     // the call did its work (a read may bring fewer bytes, or none:
              // its time-outs ran out)
    Damaged,  // a line error (framing, parity, overrun, break) aborted it on a
              // device that aborts on errors: the error is cleared and the
              // port works again, but the bytes of this call are not to be
              // trusted and a write did not finish
    Failed,   // the device call failed; `code` says why
};

struct IoResult {
    IoStatus status;
    DWORD count;  // bytes moved, also when the call did not end Done
    DWORD code;   // the system error code when not Done, else 0
};

// One read of up to `length` bytes, bounded by the port time-outs.
IoResult readPort(const OpenPort& port, void* buffer, DWORD length);

// Writes all `length` bytes (a write of none still makes one call). A write
// that runs past its time-out returns with part of the bytes sent; the rest
// follows while each write sends something. A write that sends nothing within
// its time-out (flow control holding the line) fails with ERROR_TIMEOUT.
IoResult writePort(const OpenPort& port, const void* bytes, DWORD length);

// Both leave `code` as the last-error value when they do not end Done.

struct QueueState {
    bool ok;
    DWORD queued;  // bytes in the receive queue
    DWORD code;    // the system error code when not ok
};

// The receive queue's length, without a report.
QueueState queryQueue(const OpenPort& port);

int serialBytesAvailable(uint32_t port);
char* readSerialData(uint32_t port, uint32_t length);  // a host string, never null
int writeSerialData(uint32_t port, const char* data, int length);
