// Trace lines on standard output, put together here and handed to stdout in
// one write: under Wine every call into the C runtime's stdio costs about a
// microsecond, and a transfer prints lines for every block.
#pragma once

namespace transfer {

// `format` with one %d.
void traceNumber(const char* format, int value);

// "Received: " and `text` up to its first zero byte.
void traceReceived(const char* text);

}  // namespace transfer
