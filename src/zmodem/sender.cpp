#include "sender.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/port_table.h"
#include "../transfer/clock.h"
#include "../transfer/crc.h"
#include "../transfer/outcome.h"
#include "file_info.h"
#include "wire.h"

namespace zmodem {
namespace {

using transfer::Outcome;
using transfer::WaitClock;

constexpr size_t kLongestSubpacket = 1024;
constexpr size_t kShortestSubpacket = 32;  // after errors, halving each time
// How far the data may run ahead of the receiver's last ZACK: this many
// subpackets of the current length, with a ZCRCQ every quarter of it. On a
// line that buffers much (a USB adapter, a pty) a ZRPOS then costs at most a
// window, and a receiver that stops is noticed.
constexpr uint32_t kWindowSubpackets = 32;
// The fuzz build keeps 4 KiB, so that its small files go back past what is
// kept too.
#ifndef ZMODEM_KEPT_BYTES
#define ZMODEM_KEPT_BYTES (64 * 1024)
#endif
constexpr uint32_t kKept = ZMODEM_KEPT_BYTES;  // a power of two
constexpr uint32_t kProgressEvery = 64 * 1024;
constexpr unsigned kPollChunks = 4;
constexpr uint32_t kLongestWaitMs = 3600 * 1000;

constexpr uint8_t kStart[] = {'r', 'z', '\r'};  // a shell at the other end starts its receiver
constexpr uint8_t kOverAndOut[] = {'O', 'O'};

// The file's bytes, read forward through the host. The last kKept bytes read
// stay in memory, so that going back a little costs nothing; going back
// further opens the file again and reads up to the position.
struct Source {
    hostapi::HostFile file;
    const char* path = "";
    std::unique_ptr<uint8_t[]> kept{new uint8_t[kKept]};
    uint32_t readTo = 0;  // file bytes read so far
    uint32_t held = 0;    // the last of them, in `kept`

    bool open() {
        file.close();
        readTo = held = 0;
        file.id = hostOpenToRead()(path);
        return file.id != 0;
    }

    enum class Fetched { Whole, Short, NotOpened };

    // Bytes [at, at + length), length at most kKept. Every byte is read
    // after an end test, so that nothing past the end is ever read.
    Fetched fetch(uint32_t at, uint8_t* out, size_t length) {
        if (at < readTo - held && !open()) return Fetched::NotOpened;
        ReadByteFn readByte = hostReadByte();
        FileEofFn atEnd = hostFileEof();
        const uint64_t want = uint64_t(at) + length;
        while (readTo < want) {
            if (atEnd(file.id)) return Fetched::Short;
            kept[readTo % kKept] = uint8_t(readByte(file.id));
            ++readTo;
            if (held < kKept) ++held;
        }
        for (size_t i = 0; i < length; ++i) out[i] = kept[(at + i) % kKept];
        return Fetched::Whole;
    }
};

struct Sender {
    Wire wire;
    Source source;
    const bool resume;
    uint32_t size = 0;
    const char* name = "";
    uint8_t info[kFileInfoRoom];
    size_t infoLength = 0;

    // What the receiver's ZRINIT asked for.
    HeaderForm form = HeaderForm::Bin16;
    uint32_t receiverBuffer = 0;  // 0: it takes a stream without stopping

    size_t subpacketLength = kLongestSubpacket;
    bool windowed = true;
    bool ackSeen = false;
    bool everWentBack = false;
    uint32_t pos = 0;        // the next byte to go out
    uint32_t acked = 0;      // the receiver holds this much, by its last ZACK or ZRPOS
    uint32_t confirmed = 0;  // the most it ever said it holds
    unsigned repeats = 0;    // asks and waits since `confirmed` last grew
    unsigned silentWaits = 0;
    bool frameOpen = false;
    bool openOnLine = false;   // the frame's header and a subpacket that did not end it went out
    bool awaitingAck = false;  // a ZCRCW went out
    bool wentBack = false;
    bool errorSinceAck = false;
    uint32_t lastQ = 0;   // where the frame began or the last ZCRCQ ended
    uint32_t sinceW = 0;  // bytes since the frame began, for a receiver with a buffer
    uint32_t nextProgress = kProgressEvery;
    uint8_t data[kLongestSubpacket];

    Sender(OpenPort& port, bool resumes) : wire(port), resume(resumes) {}

    // ---- ends

    Outcome giveUp() {
        sendAbort(wire);
        return Outcome::gaveUp();
    }

    // A wait that ended on the receiver's abort or a failed port call.
    Outcome ended(Got got) {
        if (got == Got::Failed) return wire.failure;
        printf("Receiver cancelled transfer\n");
        return Outcome::gaveUp();
    }

    // The receiver will not take the file (ZSKIP) or has ended its side
    // (ZFERR, ZABORT): the session ends in order, with 0.
    Outcome refused(const char* line) {
        printf("%s", line);
        endSession();
        return Outcome::gaveUp();
    }

    Outcome notFetched(Source::Fetched fetched) {
        if (fetched == Source::Fetched::NotOpened) {
            sendAbort(wire);
            return Outcome::failed(MSG_SEND_OPEN_FILE, 0, source.path);
        }
        printf("File ended at %lu of %lu bytes, giving up\n", (unsigned long)source.readTo, (unsigned long)size);
        return giveUp();
    }

    // ---- bounds

    uint32_t answerLimitMs(uint32_t inFlight) const {
        const uint64_t ms = kAnswerMs + 2ull * wireTimeMs(wire.port, inFlight + uint32_t(kHeaderMax));
        return ms < kLongestWaitMs ? uint32_t(ms) : kLongestWaitMs;
    }

    // One more ask for, or wait at, position `at`; only a position past
    // all the receiver ever held is progress.
    Outcome spend(uint32_t at) {
        if (at > confirmed) {
            confirmed = at;
            repeats = 0;
            return Outcome::going();
        }
        if (++repeats <= kPositionBudget) return Outcome::going();
        printf("No progress at %lu after %u tries, giving up\n", (unsigned long)confirmed, kPositionBudget);
        return giveUp();
    }

    // After a wait that ended with nothing to show.
    Outcome checkSilence(uint32_t bytesBefore) {
        if (wire.bytesIn != bytesBefore) {
            silentWaits = 0;
            return Outcome::going();
        }
        if (++silentWaits < kSilentWaits) return Outcome::going();
        printf("Receiver stopped answering, giving up\n");
        return giveUp();
    }

    // ---- what the receiver says while the data goes out

    size_t longest() const {
        return receiverBuffer && receiverBuffer < kLongestSubpacket ? receiverBuffer : kLongestSubpacket;
    }
    uint32_t window() const { return uint32_t(kWindowSubpackets * subpacketLength); }
    bool mustWait() const { return awaitingAck || (windowed && pos - acked >= window()); }

    Outcome goBack(uint32_t at) {
        if (at > size) {
            printf("Receiver asked for position %lu, past the end of the file\n", (unsigned long)at);
            return giveUp();
        }
        if (Outcome o = spend(at); o.ended()) return o;
        wire.outLength = 0;  // not on the line yet: a new frame starts at `at`
        // A receiver that is still inside the frame takes the new header for
        // data unless the frame ends first.
        if (openOnLine) putEmptyEnd();
        frameOpen = openOnLine = awaitingAck = false;
        pos = acked = at;
        wentBack = everWentBack = errorSinceAck = true;
        const size_t shortest = kShortestSubpacket < longest() ? kShortestSubpacket : longest();
        if (subpacketLength / 2 >= shortest) subpacketLength /= 2;
        printf("ZMODEM: going back to %lu\n", (unsigned long)at);
        return Outcome::going();
    }

    void acknowledged(uint32_t at) {
        if (at > pos || at < acked) return;  // about bytes gone back over
        acked = at;
        ackSeen = true;
        if (at == pos) awaitingAck = false;
        if (at > confirmed) {
            confirmed = at;
            repeats = 0;
        }
        if (!errorSinceAck && subpacketLength * 2 <= longest()) subpacketLength *= 2;
        errorSinceAck = false;
    }

    Outcome take(const Event& event) {
        if (event.kind != EventKind::Header) return Outcome::going();
        const uint32_t at = positionOf(event.header);
        switch (event.header.type) {
        case ZRPOS: return goBack(at);
        case ZACK: acknowledged(at); return Outcome::going();
        case ZNAK: return goBack(acked);  // a header of ours was garbled
        case ZSKIP: return refused("Receiver skipped the file\n");
        case ZFERR:
        case ZABORT: return refused("Receiver ended the transfer\n");
        default: return Outcome::going();
        }
    }

    // Takes what has come in, without waiting.
    Outcome lookIn() {
        unsigned chunks = kPollChunks;
        Event event;
        for (;;) {
            const Got got = pollEvent(wire, event, chunks);
            if (got == Got::Nothing) return Outcome::going();
            if (got != Got::Event) return ended(got);
            if (Outcome o = take(event); o.ended()) return o;
        }
    }

    // ---- the session's steps

    void takeCapabilities(const Header& zrinit) {
        const uint8_t flags = zrinit.bytes[ZF0];
        form = flags & CANFC32 ? HeaderForm::Bin32 : HeaderForm::Bin16;
        wire.escape.escapeAll = (flags & ESCCTL) != 0;
        receiverBuffer = uint32_t(zrinit.bytes[P0]) | uint32_t(zrinit.bytes[P1]) << 8;
        if (subpacketLength > longest()) subpacketLength = longest();
    }

    // "rz\r", then ZRQINIT until the receiver's ZRINIT.
    Outcome start() {
        putRaw(wire, kStart, sizeof kStart);
        WaitClock total = WaitClock::onTick(kStartLimitMs);
        for (;;) {
            putHeader(wire, flagsHeader(ZRQINIT, 0), HeaderForm::Hex);
            if (Outcome o = flush(wire, MSG_ZMODEM_HEADER_FAILED); o.ended()) return o;
            WaitClock again = WaitClock::onTick(total.leftMs() < kZrqinitAgainMs ? total.leftMs() : kZrqinitAgainMs);
            Event event;
            for (;;) {
                const Got got = awaitEvent(wire, again, event);
                if (got == Got::Nothing) break;
                if (got != Got::Event) return ended(got);
                if (event.kind != EventKind::Header) continue;
                if (event.header.type == ZRINIT) {
                    takeCapabilities(event.header);
                    return Outcome::going();
                }
                if (event.header.type == ZCHALLENGE) {
                    const Header echo{ZACK, {event.header.bytes[0], event.header.bytes[1], event.header.bytes[2],
                                             event.header.bytes[3]}};
                    if (Outcome o = sendHeader(wire, echo, HeaderForm::Hex, MSG_ZMODEM_HEADER_FAILED); o.ended())
                        return o;
                }
            }
            if (total.over()) {
                printf("Transfer start timed out\n");
                return giveUp();
            }
        }
    }

    // A receiver may ask for the CRC-32 of the file's first `length` bytes
    // (0: all of it) before it decides.
    Outcome answerCrc(uint32_t length) {
        if (length == 0 || length > size) length = size;
        uint32_t crc = 0;
        for (uint32_t at = 0; at < length;) {
            const size_t n = length - at < kLongestSubpacket ? length - at : kLongestSubpacket;
            const Source::Fetched fetched = source.fetch(at, data, n);
            if (fetched == Source::Fetched::NotOpened) return notFetched(fetched);
            if (fetched == Source::Fetched::Short) break;
            crc = transfer::crc32Update(crc, data, n);
            at += uint32_t(n);
        }
        return sendHeader(wire, positionHeader(ZCRC, crc), HeaderForm::Hex, MSG_ZMODEM_HEADER_FAILED);
    }

    // ZFILE until the receiver says where to start.
    Outcome offer(uint32_t* start) {
        const Header zfile = flagsHeader(ZFILE, resume ? ZCRESUM : ZCBIN);
        for (unsigned tries = 0;; ++tries) {
            if (tries == kOfferTries) {
                printf("File header sent %u times, giving up\n", kOfferTries);
                return giveUp();
            }
            putHeader(wire, zfile, form);
            wire.outLength += encodeSubpacket(info, infoLength, ZCRCW, crcKindOf(form), wire.escape,
                                              wire.out + wire.outLength);
            if (Outcome o = flush(wire, MSG_ZMODEM_HEADER_FAILED); o.ended()) return o;
            const uint32_t before = wire.bytesIn;
            WaitClock clock = WaitClock::onTick(answerLimitMs(uint32_t(infoLength)));
            bool again = false;
            Event event;
            while (!again) {
                const Got got = awaitEvent(wire, clock, event);
                if (got == Got::Nothing) break;
                if (got != Got::Event) return ended(got);
                if (event.kind != EventKind::Header) continue;
                const uint32_t at = positionOf(event.header);
                switch (event.header.type) {
                case ZRPOS:
                    if (at > size) {
                        printf("Receiver asked for position %lu, past the end of the file\n", (unsigned long)at);
                        return giveUp();
                    }
                    *start = at;
                    return Outcome::going();
                case ZSKIP: return refused("Receiver skipped the file\n");
                case ZFERR:
                case ZABORT: return refused("Receiver ended the transfer\n");
                case ZCRC:
                    if (Outcome o = answerCrc(at); o.ended()) return o;
                    break;
                case ZNAK: again = true; break;
                default: break;  // ZRINIT again answers a ZRQINIT of ours: ZFILE is on its way
                }
            }
            if (!again) {
                if (Outcome o = checkSilence(before); o.ended()) return o;
            }
        }
    }

    void traceProgress() {
        if (pos < nextProgress) return;
        nextProgress = pos - pos % kProgressEvery;
        printf("ZMODEM: %lu of %lu bytes\n", (unsigned long)nextProgress, (unsigned long)size);
        nextProgress += kProgressEvery;
    }

    void putEmptyEnd() {
        wire.outLength += encodeSubpacket(data, 0, ZCRCE, crcKindOf(form), wire.escape, wire.out + wire.outLength);
    }

    Outcome flushData() {
        openOnLine = frameOpen;
        return flush(wire, MSG_ZMODEM_DATA_FAILED);
    }

    // One subpacket into the output buffer, behind a ZDATA header when a
    // frame starts; written once a batch is full or the subpacket asks for
    // an answer.
    Outcome putSubpacket() {
        if (!frameOpen) {
            putHeader(wire, positionHeader(ZDATA, pos), form);
            frameOpen = true;
            lastQ = pos;
            sinceW = 0;
        }
        size_t length = subpacketLength < size - pos ? subpacketLength : size - pos;
        if (receiverBuffer && length > receiverBuffer - sinceW) length = receiverBuffer - sinceW;
        const Source::Fetched fetched = source.fetch(pos, data, length);
        if (fetched != Source::Fetched::Whole) return notFetched(fetched);
        const uint32_t next = pos + uint32_t(length);
        uint8_t end = ZCRCG;
        if (next == size) {
            end = ZCRCE;
        } else if (receiverBuffer && sinceW + length >= receiverBuffer) {
            end = ZCRCW;
        } else if (windowed && next - lastQ >= window() / 4) {
            end = ZCRCQ;
        }
        wire.outLength += encodeSubpacket(data, length, end, crcKindOf(form), wire.escape, wire.out + wire.outLength);
        pos = next;
        sinceW += uint32_t(length);
        if (end == ZCRCQ) lastQ = next;
        if (end == ZCRCE || end == ZCRCW) frameOpen = false;
        awaitingAck = end == ZCRCW;
        traceProgress();
        if (end == ZCRCG && wire.outLength < kWriteAt) return Outcome::going();
        return flushData();
    }

    // The window is full, or a ZCRCW asks for its ZACK.
    Outcome waitForReceiver() {
        if (Outcome o = flushData(); o.ended()) return o;
        const uint32_t before = wire.bytesIn;
        WaitClock clock = WaitClock::onTick(answerLimitMs(pos - acked));
        wentBack = false;
        Event event;
        for (;;) {
            const Got got = awaitEvent(wire, clock, event);
            if (got == Got::Nothing) break;
            if (got != Got::Event) return ended(got);
            if (Outcome o = take(event); o.ended()) return o;
            if (wentBack || !mustWait()) {
                silentWaits = 0;
                return Outcome::going();
            }
        }
        if (!ackSeen && !awaitingAck && !everWentBack) {
            // A receiver that never answers ZCRCQ, on a line that lost
            // nothing so far, gets a stream, as from sz.
            windowed = false;
            printf("ZMODEM: no ZACK for ZCRCQ, streaming on\n");
            return Outcome::going();
        }
        if (Outcome o = checkSilence(before); o.ended()) return o;
        return goBack(acked);
    }

    // ZEOF and its answer: done on ZRINIT, going when the receiver asked for
    // data again, or the ZEOF or the data after its last ZACK are to go again.
    Outcome sendEof() {
        putHeader(wire, positionHeader(ZEOF, size), form);
        if (Outcome o = flush(wire, MSG_ZMODEM_HEADER_FAILED); o.ended()) return o;
        const uint32_t before = wire.bytesIn;
        WaitClock clock = WaitClock::onTick(answerLimitMs(size - acked));
        wentBack = false;
        Event event;
        for (;;) {
            const Got got = awaitEvent(wire, clock, event);
            if (got == Got::Nothing) break;
            if (got != Got::Event) return ended(got);
            if (event.kind == EventKind::Header && event.header.type == ZRINIT) return Outcome::done();
            if (event.kind == EventKind::Header && event.header.type == ZNAK) break;
            if (Outcome o = take(event); o.ended()) return o;
            if (wentBack) return Outcome::going();
        }
        if (Outcome o = checkSilence(before); o.ended()) return o;
        // A receiver that lost the frame reads no ZEOF: the data goes again
        // from what it confirmed last.
        return acked < size ? goBack(acked) : spend(acked);
    }

    Outcome sendData(uint32_t start) {
        pos = acked = confirmed = start;
        nextProgress = start - start % kProgressEvery + kProgressEvery;
        for (;;) {
            if (Outcome o = lookIn(); o.ended()) return o;
            Outcome step;
            if (pos == size && !frameOpen) {
                step = sendEof();
            } else if (mustWait()) {
                step = waitForReceiver();
            } else {
                step = putSubpacket();
            }
            if (step.ended()) return step;
        }
    }

    // ZFIN until the receiver answers ZFIN, then "OO". The file's outcome is
    // settled by now: nothing here changes the result or makes a report.
    void endSession() {
        for (unsigned tries = 0; tries < kFinTries; ++tries) {
            if (sendHeader(wire, flagsHeader(ZFIN, 0), HeaderForm::Hex, MSG_ZMODEM_HEADER_FAILED).ended()) return;
            WaitClock clock = WaitClock::onTick(kFinAnswerMs);
            Event event;
            for (;;) {
                const Got got = awaitEvent(wire, clock, event);
                if (got == Got::Nothing) break;
                if (got != Got::Event) return;
                if (event.kind == EventKind::Header && event.header.type == ZFIN) {
                    wire.link.write(kOverAndOut, sizeof kOverAndOut);
                    unreadRest(wire, afterHeader(wire));
                    return;
                }
            }
        }
        printf("Receiver did not end the session\n");
    }

    Outcome run(const char* fileName) {
        source.path = fileName;
        name = baseName(fileName);
        if (!source.open()) return Outcome::failed(MSG_SEND_OPEN_FILE, 0, fileName);
        const int reported = hostFileSize()(source.file.id);
        if (reported < 0) {
            printf("File size from the host is negative: %d\n", reported);
            return Outcome::gaveUp();
        }
        size = uint32_t(reported);
        infoLength = buildFileInfo(name, size, info);
        if (infoLength == 0) {
            if (*name == 0)
                printf("No file name for the file header\n");
            else
                printf("File name too long for the file header: %lu bytes\n", (unsigned long)strlen(name));
            return Outcome::gaveUp();
        }
        char shown[kFileInfoRoom + 1];
        printf("ZMODEM: sending \"%s\", %lu bytes\n",
               printable(reinterpret_cast<const uint8_t*>(name), strlen(name), shown), (unsigned long)size);
        if (Outcome o = start(); o.ended()) return o;
        uint32_t from = 0;
        if (Outcome o = offer(&from); o.ended()) return o;
        if (from > 0) printf("ZMODEM: the receiver holds %lu bytes, going on from there\n", (unsigned long)from);
        if (Outcome o = sendData(from); o.state != Outcome::State::Done) return o;
        source.file.close();
        printf("Sent %lu bytes\n", (unsigned long)size);
        endSession();
        return Outcome::done();
    }
};

}  // namespace

int sendFile(uint32_t port, const char* fileName, int mode) {
    if (!hostOpenToRead() || !hostFileEof() || !hostReadByte() || !hostCloseFile() || !hostFileSize()) return 0;
    OpenPort* record = findOpenPort(port);
    if (!record || (mode != 4 && mode != 5)) return 0;
    std::unique_ptr<Sender> sender(new Sender(*record, mode == 5));
    const Outcome end = sender->run(fileName ? fileName : "");
    return transfer::finish(end, sender->source.file, record->portName.get());
}

}  // namespace zmodem
