// The reads and writes of the transfer loops. A transfer ends after one error
// report when a call on its port fails; these say which call that was, and
// keep the loops from spinning on a line that answers every read at once.
#pragma once

#include <windows.h>

#include "../serial/port_table.h"
#include "../serial/serial_io.h"

namespace xmodem {

struct LineRead {
    IoStatus status;
    DWORD count;
    DWORD code;
    bool queryFailed;  // Failed: the look at the port after an empty read failed, not the read
};

// One read bounded by the port time-outs. A read that brings nothing is
// followed by a look at the port (a device that has gone can still answer
// reads with nothing, and only fails when asked for its state), and, when
// it came back sooner than its time-outs allow, by a short pause.
LineRead readLine(const OpenPort& port, void* buffer, DWORD length);

// Writes all `length` bytes. A write that a line error broke off (the error
// is cleared by then) goes on with the rest, a few times at most; anything
// else that is not Done is a failed write.
IoResult writeLine(const OpenPort& port, const void* bytes, DWORD length);

}  // namespace xmodem
