// Raw byte traffic as scripts see it: counts, reads and writes of an open
// port, with their reports and the trace of what is sent.
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_string.h"
#include "../serial/port_table.h"
#include "../serial/serial_io.h"
#include "script_calls.h"

namespace plugin {

int bytesAvailable(uint32_t port) {
    OpenPort* record = findOpenPort(port);
    if (!record) return 0;
    const QueueState queue = queryQueue(*record);
    if (!queue.ok) {
        reportError(MSG_AVAILABLE_FAILED, record->portName.get(), static_cast<int>(queue.code));
        return 0;
    }
    return static_cast<int>(queue.queued);
}

char* readData(uint32_t port, uint32_t length) {
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

int writeData(uint32_t port, const char* data, int length) {
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

}  // namespace plugin
