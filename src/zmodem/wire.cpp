#include "wire.h"

#include <cstring>

#include "../hostapi/error_report.h"

namespace zmodem {
namespace {

constexpr uint8_t BS = 0x08;

bool isFlowControl(uint8_t byte) { return (byte & 0x7F) == XON || (byte & 0x7F) == XOFF; }

// The reader drops flow-control bytes before it counts CANs; so does this.
void watchForAbort(Wire& wire, const uint8_t* bytes, DWORD length) {
    for (DWORD i = 0; i < length && !wire.aborted; ++i) {
        if (bytes[i] == CAN) {
            wire.aborted = ++wire.canRun >= 5;
        } else if (!isFlowControl(bytes[i])) {
            wire.canRun = 0;
        }
    }
}

Got failed(Wire& wire, const char* format, DWORD code) {
    wire.failure = transfer::Outcome::failed(format, code);
    return Got::Failed;
}

Got take(Wire& wire, DWORD count) {
    if (count == 0) return Got::Nothing;
    wire.chunkLength = count;
    wire.bytesIn += count;
    watchForAbort(wire, wire.chunk, count);
    feed(wire.reader, wire.chunk, count);
    return Got::Event;
}

Got readChunk(Wire& wire, DWORD queued) {
    if (queued == 0 && wire.waitFor > 1) {
        // A damaged read brings nothing: the damaged byte stays queued, and
        // the next read drops it with what came with it.
        const transfer::LinkRead got = wire.link.read(wire.chunk, wire.waitFor);
        if (got.status == IoStatus::Failed)
            return failed(wire, got.queryFailed ? MSG_AVAILABLE_FAILED : MSG_READ_FAILED, got.code);
        return take(wire, got.status == IoStatus::Done ? got.count : 0);
    }
    const transfer::Chunk got = wire.link.readChunk(wire.chunk, kChunkRoom, queued);
    if (got.status == IoStatus::Failed)
        return failed(wire, got.queryFailed ? MSG_AVAILABLE_FAILED : MSG_READ_FAILED, got.code);
    return take(wire, got.count);
}

}  // namespace

Got readMore(Wire& wire) {
    QueueState queue = wire.link.queued();
    if (!queue.ok) return failed(wire, MSG_AVAILABLE_FAILED, queue.code);
    return readChunk(wire, queue.queued);
}

Got awaitEvent(Wire& wire, transfer::WaitClock& clock, Event& event, bool quietOnly) {
    for (;;) {
        if (wire.aborted) return Got::Aborted;
        if (nextEvent(wire.reader, event)) return event.kind == EventKind::Abort ? Got::Aborted : Got::Event;
        if (clock.over()) return Got::Nothing;
        const Got got = readMore(wire);
        if (got == Got::Failed) return got;
        if (got == Got::Event && quietOnly) clock.restart();
    }
}

Got pollEvent(Wire& wire, Event& event, unsigned& chunks) {
    for (;;) {
        if (wire.aborted) return Got::Aborted;
        if (nextEvent(wire.reader, event)) return event.kind == EventKind::Abort ? Got::Aborted : Got::Event;
        if (chunks == 0) return Got::Nothing;
        --chunks;
        QueueState queue = wire.link.queued();
        if (!queue.ok) return failed(wire, MSG_AVAILABLE_FAILED, queue.code);
        if (queue.queued == 0) return Got::Nothing;
        const Got got = readChunk(wire, queue.queued);
        if (got != Got::Event) return got;
    }
}

void putHeader(Wire& wire, const Header& header, HeaderForm form) {
    wire.outLength += encodeHeader(header, form, wire.escape, wire.out + wire.outLength);
}

void putRaw(Wire& wire, const uint8_t* bytes, size_t length) {
    memcpy(wire.out + wire.outLength, bytes, length);
    wire.outLength += length;
    if (length > 0) noteSent(wire.escape, bytes[length - 1]);
}

transfer::Outcome flush(Wire& wire, const char* format) {
    if (wire.outLength == 0) return transfer::Outcome::going();
    const IoResult written = wire.link.write(wire.out, DWORD(wire.outLength));
    wire.outLength = 0;
    if (written.status == IoStatus::Done) return transfer::Outcome::going();
    return transfer::Outcome::failed(format, written.code);
}

transfer::Outcome sendHeader(Wire& wire, const Header& header, HeaderForm form, const char* format) {
    putHeader(wire, header, form);
    return flush(wire, format);
}

void sendAbort(Wire& wire) {
    static const uint8_t kAbort[16] = {CAN, CAN, CAN, CAN, CAN, CAN, CAN, CAN, BS, BS, BS, BS, BS, BS, BS, BS};
    wire.outLength = 0;
    wire.link.write(kAbort, sizeof kAbort);
}

void unreadRest(Wire& wire, size_t at) {
    if (at < wire.chunkLength) wire.link.unread(wire.chunk + at, DWORD(wire.chunkLength - at));
    wire.chunkLength = 0;
    feed(wire.reader, wire.chunk, 0);
}

size_t afterHeader(const Wire& wire) {
    static const uint8_t kTail[] = {'\r', '\n', XON};
    size_t at = wire.reader.inputAt;
    for (uint8_t tail : kTail)
        if (at < wire.chunkLength && (wire.chunk[at] & 0x7F) == tail) ++at;
    return at;
}

const char* baseName(const char* path) {
    const char* name = path;
    for (const char* at = path; *at; ++at)
        if (*at == '\\' || *at == '/') name = at + 1;
    return name;
}

const char* printable(const uint8_t* text, size_t length, char* shown) {
    for (size_t i = 0; i < length; ++i) shown[i] = text[i] < 0x20 || text[i] == 0x7F ? '?' : char(text[i]);
    shown[length] = '\0';
    return shown;
}

}  // namespace zmodem
