#include "line.h"

#include "../serial/clock.h"

namespace xmodem {
namespace {

// Line errors in a row that one write goes on after.
constexpr unsigned kWriteRetriesAfterLineErrors = 3;

}  // namespace

LineRead readLine(const OpenPort& port, void* buffer, DWORD length) {
    const uint32_t start = tickMs();
    IoResult read = readPort(port, buffer, length);
    if (read.status != IoStatus::Done || read.count > 0) return {read.status, read.count, read.code, false};
    QueueState queue = queryQueue(port);
    if (!queue.ok) return {IoStatus::Failed, 0, queue.code, true};
    // An empty read takes its whole total time-out; one that came back in
    // less than half of it did not wait (a hung-up line can do that).
    const COMMTIMEOUTS timeouts = portTimeouts(port.baudRate, port.frameBits);
    const uint32_t allowed = timeouts.ReadTotalTimeoutMultiplier * length + timeouts.ReadTotalTimeoutConstant;
    if (msSince(start) < allowed / 2) Sleep(timeouts.ReadTotalTimeoutConstant);
    return {IoStatus::Done, 0, 0, false};
}

IoResult writeLine(const OpenPort& port, const void* bytes, DWORD length) {
    const BYTE* next = static_cast<const BYTE*>(bytes);
    DWORD sent = 0;
    for (unsigned lineErrors = 0;; ++lineErrors) {
        IoResult write = writePort(port, next + sent, length - sent);
        sent += write.count;
        if (write.status != IoStatus::Damaged) return {write.status, sent, write.code};
        if (sent >= length) return {IoStatus::Done, sent, 0};
        if (lineErrors == kWriteRetriesAfterLineErrors) return {IoStatus::Failed, sent, write.code};
    }
}

}  // namespace xmodem
