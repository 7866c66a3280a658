#include "serial_io.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_string.h"
#include "port_table.h"

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

}  // namespace

IoResult readPort(const OpenPort& port, void* buffer, DWORD length) {
    DWORD got = 0;
    if (!ReadFile(port.osHandle, buffer, length, &got, nullptr)) return failedIo(port, got);
    return {IoStatus::Done, got, 0};
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
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    if (!ClearCommError(port.osHandle, &errors, &stat)) return {false, 0, GetLastError()};
    return {true, stat.cbInQue, 0};
}

int serialBytesAvailable(uint32_t port) {
    OpenPort* record = findOpenPort(port);
    if (!record) return 0;
    const QueueState queue = queryQueue(*record);
    if (!queue.ok) {
        reportError(MSG_AVAILABLE_FAILED, record->portName.get(), static_cast<int>(queue.code));
        return 0;
    }
    return static_cast<int>(queue.queued);
}

char* readSerialData(uint32_t port, uint32_t length) {
    // A size the host's 32-bit integer cannot carry (a script's -1 among them)
    // gets the empty string, and nothing is read.
    if (length >= static_cast<uint32_t>(INT_MAX)) return emptyHostString();
    char* text = makeHostString(size_t(length) + 1);
    if (length == 0 || !madeByHost(text)) return text;
    OpenPort* record = findOpenPort(port);
    if (!record) return text;
    IoResult read = readPort(*record, text, length);
    if (read.status != IoStatus::Done) {
        // A line error is cleared by now: the next call reads on.
        reportError(MSG_READ_FAILED, record->portName.get(), static_cast<int>(read.code));
        text[0] = 0;
        return text;
    }
    text[length] = 0;
    return text;
}

int writeSerialData(uint32_t port, const char* data, int length) {
    OpenPort* record = findOpenPort(port);
    if (!record) return 0;
    if (!data) {  // some hosts pass an empty script string as null
        data = "";
        length = 0;  // whatever length came with it, there is nothing to send
    }
    if (length < 0) length = static_cast<int>(strlen(data));
    printf("Sending: %s\n", data);
    IoResult write = writePort(*record, data, static_cast<DWORD>(length));
    if (write.status != IoStatus::Done) {
        reportError(MSG_WRITE_FAILED, record->portName.get(), static_cast<int>(write.code));
        return 0;
    }
    return 1;
}
