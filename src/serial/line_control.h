// An open port's lines and settings after its open: DTR and RTS, the far
// end's lines, breaks, flow control, speed, and throwing away or draining
// what is queued. Each call says which device call failed, with its code.
#pragma once

#include <windows.h>

#include <cstdint>

#include "port_table.h"

enum class LineStep {
    Done,
    RtsOwned,     // refused: RTS/CTS flow control drives RTS
    SetState,     // SetCommState failed
    SetTimeouts,  // SetCommTimeouts failed (the old rate was put back)
    ModemStatus,  // GetCommModemStatus failed
    SetBreak,     // SetCommBreak failed
    ClearBreak,   // ClearCommBreak failed: the line may still be held in break
    Purge,        // PurgeComm failed
    QueueState,   // ClearCommError failed while waiting for the output to drain
    Drain,        // the output did not drain within the write time-out (ERROR_TIMEOUT)
};

struct LineResult {
    LineStep step;
    DWORD code;  // the failed call's system error code
    bool ok() const { return step == LineStep::Done; }
};

// Raises (1), lowers (0) or leaves (-1) DTR and RTS. Both change in one
// SetCommState, so that a board sampling both never sees a state between.
LineResult setLines(OpenPort& port, int dtr, int rts);

// The far end's lines as a sum: 1 CTS, 2 DSR, 4 RI, 8 DCD.
LineResult modemLines(OpenPort& port, int* sum);

// Holds a break for `ms`, then releases it.
LineResult sendBreak(OpenPort& port, uint32_t ms);

LineResult setFlowControl(OpenPort& port, FlowControl flow);

// A new rate, and time-outs that follow it.
LineResult setSpeed(OpenPort& port, uint32_t baudRate);

// Throws away every byte received and not yet read, the read-ahead's too.
LineResult discardReceived(OpenPort& port);

// Waits until everything written has left, within the write time-out of what
// was queued when it began.
LineResult drainOutput(OpenPort& port);

// XON/XOFF off for a transfer, whose bytes include 0x11 and 0x13, and back on
// after it; nothing when the port has no XON/XOFF.
LineResult pauseSoftwareFlow(OpenPort& port);
LineResult resumeSoftwareFlow(OpenPort& port);
