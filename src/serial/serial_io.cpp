#include "serial_io.h"

#include <windows.h>

#include <cstring>

namespace {

// A device that aborts on errors fails every read and write with
// ERROR_OPERATION_ABORTED after a line error, until ClearCommError is called.
// Such a failure is cleared here and counts as damaged data; any other is a
// failure of the device.
IoResult failedIo(const OpenPort& port, DWORD moved) {
    DWORD code = GetLastError();
    IoStatus status = IoStatus::Failed;
    if (code == ERROR_OPERATION_ABORTED) {
        DWORD errors = 0;
        COMSTAT stat;
        memset(&stat, 0, sizeof stat);
        if (ClearCommError(port.osHandle, &errors, &stat) && errors != 0) status = IoStatus::Damaged;
        SetLastError(code);
    }
    return {status, moved, code};
}

IoResult readDevice(const OpenPort& port, void* buffer, DWORD length) {
    DWORD got = 0;
    if (!ReadFile(port.osHandle, buffer, length, &got, nullptr)) return failedIo(port, got);
    return {IoStatus::Done, got, 0};
}

DWORD deviceQueue(const OpenPort& port, bool* ok) {
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    *ok = ClearCommError(port.osHandle, &errors, &stat) != 0;
    return *ok ? stat.cbInQue : 0;
}

}  // namespace

IoResult readPort(OpenPort& port, void* buffer, DWORD length) {
    ReadAhead& ahead = port.ahead;
    if (ahead.held == 0) return readDevice(port, buffer, length);
    const DWORD taken = length < ahead.held ? length : DWORD(ahead.held);
    memcpy(buffer, ahead.bytes.get() + ahead.start, taken);
    ahead.start += taken;
    ahead.held -= taken;
    if (ahead.held == 0) ahead.start = 0;
    if (taken == length) return {IoStatus::Done, taken, 0};
    // What the device holds already joins them; a failure there shows on the
    // next read, which goes to the device.
    bool ok = false;
    const DWORD queued = deviceQueue(port, &ok);
    if (!ok || queued == 0) return {IoStatus::Done, taken, 0};
    const DWORD rest = length - taken < queued ? length - taken : queued;
    IoResult more = readDevice(port, static_cast<uint8_t*>(buffer) + taken, rest);
    if (more.status != IoStatus::Done) {
        // Damaged or failed bytes stay unread; the good ones go back, so that
        // the caller sees the failure with nothing lost.
        unreadPort(port, buffer, taken);
        return {more.status, 0, more.code};
    }
    return {IoStatus::Done, taken + more.count, 0};
}

void unreadPort(OpenPort& port, const void* bytes, DWORD length) {
    ReadAhead& ahead = port.ahead;
    if (length == 0) return;
    if (ahead.start < length) {
        memmove(ahead.bytes.get() + ReadAhead::kRoom - ahead.held, ahead.bytes.get() + ahead.start, ahead.held);
        ahead.start = ReadAhead::kRoom - ahead.held;
    }
    ahead.start -= length;
    ahead.held += length;
    memmove(ahead.bytes.get() + ahead.start, bytes, length);
}

IoResult writePort(const OpenPort& port, const void* bytes, DWORD length) {
    const BYTE* next = static_cast<const BYTE*>(bytes);
    DWORD sent = 0;
    do {
        DWORD written = 0;
        if (!WriteFile(port.osHandle, next + sent, length - sent, &written, nullptr))
            return failedIo(port, sent + written);
        if (written == 0 && length > 0) {
            SetLastError(ERROR_TIMEOUT);
            return {IoStatus::Failed, sent, ERROR_TIMEOUT};
        }
        sent += written < length - sent ? written : length - sent;
    } while (sent < length);
    return {IoStatus::Done, sent, 0};
}

QueueState queryQueue(const OpenPort& port) {
    bool ok = false;
    const DWORD queued = deviceQueue(port, &ok);
    if (!ok) return {false, 0, GetLastError()};
    return {true, queued + DWORD(port.ahead.held), 0};
}

bool discardInput(OpenPort& port) {
    port.ahead.start = 0;
    port.ahead.held = 0;
    return PurgeComm(port.osHandle, PURGE_RXCLEAR) != 0;
}
