// Raw byte traffic on an open port: the device reads and writes that the raw
// exports and the transfers are built on. Every read goes through the port's
// read-ahead.
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

// One read of up to `length` bytes. Bytes held in the read-ahead come first,
// topped up with what the device holds already, without a wait; with none
// held, one device read bounded by the port time-outs.
IoResult readPort(OpenPort& port, void* buffer, DWORD length);

// Puts `length` bytes back in front of what the next read gets: the part of
// the last read that its caller did not use. `length` is at most what that
// read brought.
void unreadPort(OpenPort& port, const void* bytes, DWORD length);

// Writes all `length` bytes (a write of none still makes one call). A write
// that runs past its time-out returns with part of the bytes sent; the rest
// follows while each write sends something. A write that sends nothing within
// its time-out (flow control holding the line) fails with ERROR_TIMEOUT.
IoResult writePort(const OpenPort& port, const void* bytes, DWORD length);

// Both leave `code` as the last-error value when they do not end Done.

struct QueueState {
    bool ok;
    DWORD queued;  // bytes waiting to be read, the read-ahead's included
    DWORD code;    // the system error code when not ok
};

// The bytes waiting to be read.
QueueState queryQueue(const OpenPort& port);

// Throws away every byte received and not yet read, the read-ahead's too.
// False, with the code as last error, when the device refused.
bool discardInput(OpenPort& port);
