// Driving a board as scripts see it: DTR and RTS, the far end's lines,
// breaks, flow control, speed, flushes, and a read that waits for a text.
#include <windows.h>

#include <cstring>
#include <memory>

#include "../hostapi/error_report.h"
#include "../hostapi/host_string.h"
#include "../serial/line_control.h"
#include "../serial/port_table.h"
#include "../transfer/clock.h"
#include "../transfer/link.h"
#include "script_calls.h"

namespace plugin {
namespace {

constexpr uint32_t kLongestBreakMs = 10000;
constexpr size_t kLongestUntilRead = 65536;

// The one report of a line call that failed; `stateFormat` says what its
// SetCommState was for. Gives the export's failure result.
int reportFailure(const LineResult& result, const OpenPort& port, const char* stateFormat) {
    const char* format = stateFormat;
    switch (result.step) {
    case LineStep::Done: return 1;
    case LineStep::RtsOwned: format = MSG_RTS_OWNED; break;
    case LineStep::SetState: break;
    case LineStep::SetTimeouts: format = MSG_SET_TIMEOUTS_FAILED; break;
    case LineStep::ModemStatus: format = MSG_GET_LINES_FAILED; break;
    case LineStep::SetBreak:
    case LineStep::ClearBreak: format = MSG_BREAK_FAILED; break;
    case LineStep::Purge:
    case LineStep::QueueState:
    case LineStep::Drain: format = MSG_FLUSH_FAILED; break;
    }
    reportError(format, port.portName.get(), static_cast<int>(result.code));
    return 0;
}

bool lineArgument(int value) { return value >= -1 && value <= 1; }

// A host string holding `length` bytes.
char* hostStringOfBytes(const uint8_t* bytes, size_t length) {
    char* text = makeHostString(length + 1);
    if (madeByHost(text)) memcpy(text, bytes, length);
    return text;
}

// Where `text` first ends within bytes [0, have), looking only where it can
// end after `from`; 0 when it does not.
size_t endOfText(const uint8_t* bytes, size_t from, size_t have, const char* text, size_t textLength) {
    size_t at = from >= textLength ? from - textLength + 1 : 0;
    for (; at + textLength <= have; ++at)
        if (memcmp(bytes + at, text, textLength) == 0) return at + textLength;
    return 0;
}

}  // namespace

int setLines(uint32_t port, int dtr, int rts) {
    OpenPort* record = findOpenPort(port);
    if (!record || !lineArgument(dtr) || !lineArgument(rts)) return 0;
    return reportFailure(::setLines(*record, dtr, rts), *record, MSG_SET_LINES_FAILED);
}

int getLines(uint32_t port) {
    OpenPort* record = findOpenPort(port);
    if (!record) return -1;
    int sum = 0;
    const LineResult result = modemLines(*record, &sum);
    if (!result.ok()) {
        reportFailure(result, *record, MSG_GET_LINES_FAILED);
        return -1;
    }
    return sum;
}

int sendBreak(uint32_t port, uint32_t ms) {
    OpenPort* record = findOpenPort(port);
    if (!record || ms < 1 || ms > kLongestBreakMs) return 0;
    return reportFailure(::sendBreak(*record, ms), *record, MSG_BREAK_FAILED);
}

int setFlowControl(uint32_t port, int mode) {
    OpenPort* record = findOpenPort(port);
    if (!record || mode < 0 || mode > 2) return 0;
    return reportFailure(::setFlowControl(*record, static_cast<FlowControl>(mode)), *record, MSG_SET_FLOW_FAILED);
}

int setSpeed(uint32_t port, uint32_t baudRate) {
    OpenPort* record = findOpenPort(port);
    if (!record || baudRate == 0) return 0;
    return reportFailure(::setSpeed(*record, baudRate), *record, MSG_SET_SPEED_FAILED);
}

int flushPort(uint32_t port, int what) {
    OpenPort* record = findOpenPort(port);
    if (!record || what < 1 || what > 3) return 0;
    if (what & 2) {
        if (!reportFailure(drainOutput(*record), *record, MSG_FLUSH_FAILED)) return 0;
    }
    if (what & 1) return reportFailure(discardReceived(*record), *record, MSG_FLUSH_FAILED);
    return 1;
}

char* readUntil(uint32_t port, const char* text, uint32_t ms) {
    OpenPort* record = findOpenPort(port);
    if (!record || !text || !*text) return emptyHostString();
    const size_t textLength = strlen(text);
    std::unique_ptr<uint8_t[]> got(new uint8_t[kLongestUntilRead]);
    size_t have = 0;
    transfer::Link link{*record};
    transfer::WaitClock clock = transfer::WaitClock::onTick(ms);
    // No pause between reads: each waits in the device for the next byte, and
    // returns as soon as it comes.
    while (have < kLongestUntilRead) {
        const QueueState queue = link.queued();
        if (!queue.ok) {
            reportError(MSG_AVAILABLE_FAILED, record->portName.get(), static_cast<int>(queue.code));
            break;
        }
        const transfer::Chunk chunk = link.readChunk(got.get() + have, DWORD(kLongestUntilRead - have), queue.queued);
        if (chunk.status == IoStatus::Failed) {
            reportError(chunk.queryFailed ? MSG_AVAILABLE_FAILED : MSG_READ_FAILED, record->portName.get(),
                        static_cast<int>(chunk.code));
            break;
        }
        const size_t before = have;
        have += chunk.count;
        if (const size_t end = endOfText(got.get(), before, have, text, textLength)) {
            link.unread(got.get() + end, DWORD(have - end));  // the next read's, of any kind
            return hostStringOfBytes(got.get(), end);
        }
        if (clock.over()) break;
    }
    return hostStringOfBytes(got.get(), have);
}

}  // namespace plugin
