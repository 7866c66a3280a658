#include "serial_io.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_string.h"
#include "port_table.h"

int serialBytesAvailable(uint32_t port) {
    OpenPort* record = findOpenPort(port);
    if (!record) return 0;
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    if (!ClearCommError(record->osHandle, &errors, &stat)) {
        reportError(MSG_AVAILABLE_FAILED, record->portName.get(), lastErrorCode());
        return 0;
    }
    return static_cast<int>(stat.cbInQue);
}

char* readSerialData(uint32_t port, uint32_t length) {
    // A size the host's 32-bit integer cannot carry (a script's -1 among them)
    // gets the empty string, and nothing is read.
    if (length >= static_cast<uint32_t>(INT_MAX)) return emptyHostString();
    char* text = makeHostString(size_t(length) + 1);
    if (length == 0 || !madeByHost(text)) return text;
    OpenPort* record = findOpenPort(port);
    if (!record) return text;
    DWORD received = 0;
    if (!ReadFile(record->osHandle, text, length, &received, nullptr)) {
        reportError(MSG_READ_FAILED, record->portName.get(), lastErrorCode());
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
    DWORD written = 0;
    if (!WriteFile(record->osHandle, data, static_cast<DWORD>(length), &written, nullptr)) {
        reportError(MSG_WRITE_FAILED, record->portName.get(), lastErrorCode());
        return 0;
    }
    return 1;
}
