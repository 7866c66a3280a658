// The link a transfer, or a read that waits for a text, talks through: reads
// with a bound, writes, the queue's size and a discard, over an open port's
// device layer. A failure carries the system's code and says which call
// failed, so that its caller can make the one report.
#pragma once

#include <windows.h>

#include <cstdint>

#include "../serial/port_table.h"
#include "../serial/serial_io.h"
#include "clock.h"

namespace transfer {

struct LinkRead {
    IoStatus status;
    DWORD count;
    DWORD code;
    bool queryFailed;  // Failed: the look at the queue failed, not a read
};

// A chunk of what came in: see Link::readChunk.
struct Chunk {
    IoStatus status;   // Damaged: a line error broke a read off; what was queued is dropped
    DWORD count;       // bytes in the caller's buffer
    DWORD code;
    bool queryFailed;
    bool drained;      // the look behind the first byte found the queue empty
};

struct Link {
    OpenPort& port;

    // One read bounded by the port time-outs. A read that brings nothing is
    // followed by a look at the port (a device that has gone can still
    // answer reads with nothing, and only fails when asked for its state),
    // and, when it came back sooner than its time-outs allow, by a short
    // pause, so that no caller spins on a line that answers every read at
    // once.
    LinkRead read(void* buffer, DWORD length);

    // Up to `room` bytes: the `queued` bytes the caller found waiting, or,
    // when it found none, the next byte to arrive within the port time-outs
    // together with whatever came in behind it. Damaged bytes are no data:
    // they and what was queued with them are dropped.
    Chunk readChunk(uint8_t* buffer, DWORD room, DWORD queued);

    // Drops what is still coming in until the line has been quiet for one
    // read time-out, or until `limitMs` have passed on a line that never
    // goes quiet.
    LinkRead dropUntilQuiet(uint32_t limitMs);

    // Writes all `length` bytes. A write that a line error broke off (the
    // error is cleared by then) goes on with the rest, a few times at most;
    // anything else that is not Done is a failed write.
    IoResult write(const void* bytes, DWORD length);

    QueueState queued() const { return queryQueue(port); }
    bool discardInput() { return ::discardInput(port); }
    void unread(const void* bytes, DWORD length) { unreadPort(port, bytes, length); }
};

}  // namespace transfer
