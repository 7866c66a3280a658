#include "receiver.h"

#include <windows.h>

#include <cstdio>
#include <memory>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/port_table.h"
#include "../transfer/clock.h"
#include "../transfer/outcome.h"
#include "file_info.h"
#include "wire.h"

namespace zmodem {
namespace {

using transfer::Outcome;
using transfer::WaitClock;

constexpr uint8_t kCapabilities = CANFDX | CANOVIO | CANFC32;
constexpr uint32_t kProgressEvery = 64 * 1024;
constexpr uint32_t kDrainMs = 1000;
constexpr size_t kShownName = 255;  // of a name, in the trace line
constexpr unsigned kFinAnswers = 3;

// Where the session stands. Init: waiting for the file's header; Data: the
// file's bytes; AfterFile: the file is whole and closed, the sender is to end
// the session.
enum class Stage { Init, Data, AfterFile };

// What the next subpacket is, by the header before it.
enum class Expect { None, FileInfo, Sinit, Data };

struct Receiver {
    Wire wire;
    hostapi::HostFile file;
    Stage stage = Stage::Init;
    Expect expect = Expect::None;
    bool sizeKnown = false;
    uint32_t size = 0;
    uint32_t stored = 0;   // bytes in the file, from its start
    uint32_t dataAt = 0;   // where the next subpacket of the frame goes
    unsigned repeats = 0;  // ZRPOS at `stored` since it last grew
    // A ZRPOS went out and no frame from `stored` or below came since: what
    // the sender had sent before it reads it (later frames, its ZEOF) is
    // stale, and is not answered again.
    bool awaitingFrame = false;
    unsigned endAsks = 0;
    bool fileWhole = false;
    bool secondRefused = false;
    uint32_t nextProgress = kProgressEvery;
    WaitClock stageClock = WaitClock::onTick(kInitLimitMs);
    WaitClock stall = WaitClock::onTick(kStallMs);

    explicit Receiver(OpenPort& port) : wire(port) {}

    // ---- ends

    Outcome giveUp() {
        sendAbort(wire);
        return Outcome::gaveUp();
    }

    Outcome ended(Got got) {
        if (got == Got::Failed) return wire.failure;
        printf("Sender cancelled transfer\n");
        wire.link.dropUntilQuiet(kDrainMs);  // the rest of its CANs, so that the next read does not take them
        return Outcome::gaveUp();
    }

    // Once the file is whole, the result is 1 whatever follows.
    Outcome settled(Outcome end) const { return fileWhole ? Outcome::done() : end; }

    // ---- answers

    Outcome answer(const Header& header) { return sendHeader(wire, header, HeaderForm::Hex, MSG_ZMODEM_HEADER_FAILED); }
    Outcome sendZrinit() { return answer(flagsHeader(ZRINIT, kCapabilities)); }
    Outcome sendRpos() {
        awaitingFrame = true;
        return answer(positionHeader(ZRPOS, stored));
    }

    // ZRPOS at the first byte missing, once more.
    Outcome askAgain() {
        if (++repeats > kPositionBudget) {
            printf("No progress at %lu after %u tries, giving up\n", (unsigned long)stored, kPositionBudget);
            return giveUp();
        }
        printf("ZMODEM: asking for %lu again\n", (unsigned long)stored);
        return sendRpos();
    }

    // ---- the file

    Outcome fileInfo(const uint8_t* data, size_t length) {
        if (stage == Stage::AfterFile) {
            if (!secondRefused) printf("Second file in the session refused\n");
            secondRefused = true;
            return answer(positionHeader(ZSKIP, 0));
        }
        // The header again: our ZRPOS went missing, or the sender answered
        // two ZRINITs. Not counted: the stall clock bounds a sender that
        // offers without end.
        if (stage == Stage::Data) return sendRpos();
        const FileInfo info = readFileInfo(data, length);
        char shown[kShownName + 1];
        if (info.status == FileInfo::Status::NoNameEnd) {
            printf("File header name has no end\n");
            return giveUp();
        }
        if (info.status == FileInfo::Status::BadSize) {
            printf("Header size is not a number: \"%s\"\n",
                   printable(info.sizeField, info.sizeFieldLength < 20 ? info.sizeFieldLength : 20, shown));
            return giveUp();
        }
        sizeKnown = info.sizeKnown;
        size = info.size;
        printable(info.name, info.nameLength < kShownName ? info.nameLength : kShownName, shown);
        if (sizeKnown)
            printf("Receiving \"%s\", %lu bytes\n", shown, (unsigned long)size);
        else
            printf("Receiving \"%s\", size unknown\n", shown);
        stage = Stage::Data;
        stall.restart();
        // The data comes as a stream: reads of about 20 ms of the line. A
        // pause in it (the sender waits for an answer) ends a read after the
        // port's interval time-out; silence, after at most about 1 s.
        const DWORD twentyMs = wire.port.baudRate / 500;
        wire.waitFor = twentyMs < 1 ? 1 : twentyMs > 100 ? 100 : twentyMs;
        return sendRpos();
    }

    void traceProgress() {
        if (stored < nextProgress) return;
        nextProgress = stored - stored % kProgressEvery;
        if (sizeKnown)
            printf("ZMODEM: %lu of %lu bytes\n", (unsigned long)nextProgress, (unsigned long)size);
        else
            printf("ZMODEM: %lu bytes\n", (unsigned long)nextProgress);
        nextProgress += kProgressEvery;
    }

    // A good subpacket of the file: what it holds past `stored` is stored.
    Outcome store(const Event& event) {
        if (event.end == ZCRCE || event.end == ZCRCW) expect = Expect::None;
        const uint64_t end = uint64_t(dataAt) + event.length;
        if (end > (sizeKnown ? size : 0xFFFFFFFFull)) {
            printf("Sender sent more than the header's size\n");
            return giveUp();
        }
        if (end > stored) {
            WriteByteFn writeByte = hostWriteByte();
            for (size_t i = stored - dataAt; i < event.length; ++i) writeByte(file.id, event.data[i]);
            stored = uint32_t(end);
            repeats = 0;
            stall.restart();
            traceProgress();
        }
        dataAt = uint32_t(end);
        if (event.end == ZCRCQ || event.end == ZCRCW) return answer(positionHeader(ZACK, dataAt));
        return Outcome::going();
    }

    Outcome dataHeader(const Event& event, uint32_t at) {
        if (stage != Stage::Data || (at > stored && awaitingFrame)) return Outcome::going();
        if (at > stored) return askAgain();
        // From below `stored` it is taken too: what is held already is skipped.
        dataAt = at;
        awaitingFrame = false;
        return expectAfter(event, Expect::Data);
    }

    Outcome endOfFile(uint32_t at) {
        if (stage == Stage::AfterFile) return sendZrinit();  // the sender missed it
        if (stage != Stage::Data || (at != stored && awaitingFrame)) return Outcome::going();
        if (at != stored) return askAgain();
        if (sizeKnown && stored != size) {
            printf("Sender ended %lu bytes short of the header's size\n", (unsigned long)(size - stored));
            return giveUp();
        }
        file.close();
        printf("Received %lu bytes\n", (unsigned long)stored);
        fileWhole = true;
        stage = Stage::AfterFile;
        wire.waitFor = 1;
        stageClock = WaitClock::onTick(kEndLimitMs);
        return sendZrinit();
    }

    // After our ZFIN, the sender's "OO": what comes behind it (a shell's
    // prompt) is left for the script's next read. A ZFIN again means that
    // ours went missing.
    void overAndOut() {
        WaitClock clock = WaitClock::onTick(kOverAndOutMs);
        unsigned os = 0;
        unsigned fins = 1;
        size_t from = wire.reader.inputAt;
        for (;;) {
            for (size_t i = from; i < wire.chunkLength; ++i) {
                os = wire.chunk[i] == 'O' ? os + 1 : 0;
                if (os == 2) {
                    unreadRest(wire, i + 1);
                    return;
                }
            }
            Event event;
            // Nothing is answered once the sender's abort has been read, even
            // a ZFIN that came ahead of it in the same chunk.
            while (!wire.aborted && nextEvent(wire.reader, event))
                if (event.kind == EventKind::Header && event.header.type == ZFIN && fins++ < kFinAnswers)
                    answer(flagsHeader(ZFIN, 0));
            if (wire.aborted || clock.over()) return;
            const Got got = readMore(wire);
            if (got == Got::Failed) return;
            from = got == Got::Event ? 0 : wire.chunkLength;
        }
    }

    Outcome sessionEnd() {
        if (stage == Stage::Init) printf("Sender ended the session without a file\n");
        if (stage == Stage::Data) printf("Sender ended the session before the end of the file\n");
        if (Outcome o = answer(flagsHeader(ZFIN, 0)); o.ended()) return o;
        overAndOut();
        return fileWhole ? Outcome::done() : Outcome::gaveUp();
    }

    // ---- events

    Outcome expectAfter(const Event& header, Expect what) {
        expect = what;
        expectSubpackets(wire.reader, crcKindOf(header.form));
        return Outcome::going();
    }

    Outcome header(const Event& event) {
        const uint32_t at = positionOf(event.header);
        switch (event.header.type) {
        case ZRQINIT: return stage == Stage::Data ? Outcome::going() : sendZrinit();
        case ZSINIT: return expectAfter(event, Expect::Sinit);
        case ZFILE: return expectAfter(event, Expect::FileInfo);
        case ZCOMMAND: return expectAfter(event, Expect::None);  // read and dropped: no commands here
        case ZDATA: return dataHeader(event, at);
        case ZEOF: return endOfFile(at);
        case ZFIN: return sessionEnd();
        default: return Outcome::going();
        }
    }

    Outcome subpacket(const Event& event) {
        const Expect was = expect;
        if (was != Expect::Data) expect = Expect::None;
        switch (was) {
        case Expect::FileInfo: return fileInfo(event.data, event.length);
        case Expect::Sinit: return answer(positionHeader(ZACK, 1));  // its escaping asks nothing of hex headers
        case Expect::Data: return store(event);
        case Expect::None: break;
        }
        return Outcome::going();
    }

    Outcome badSubpacket() {
        const Expect was = expect;
        expect = Expect::None;
        if (was == Expect::FileInfo || was == Expect::Sinit) return answer(positionHeader(ZNAK, 0));
        if (was == Expect::Data) return askAgain();
        return Outcome::going();
    }

    Outcome take(const Event& event) {
        switch (event.kind) {
        case EventKind::Header: return header(event);
        case EventKind::Subpacket: return subpacket(event);
        case EventKind::BadSubpacket: return badSubpacket();
        case EventKind::BadHeader:
            // Inside the file the reader hunts on; silence brings the ZRPOS.
            return stage == Stage::Init ? answer(positionHeader(ZNAK, 0)) : Outcome::going();
        default: return Outcome::going();
        }
    }

    uint32_t silenceMs() const {
        switch (stage) {
        case Stage::Init: return kInitSilenceMs;
        case Stage::Data: return kDataSilenceMs;
        case Stage::AfterFile: break;
        }
        return kEndSilenceMs;
    }

    Outcome onSilence() {
        switch (stage) {
        case Stage::Init: return sendZrinit();
        case Stage::Data: return askAgain();
        case Stage::AfterFile: break;
        }
        if (++endAsks >= kEndAsks) {
            printf("Sender did not end the session\n");
            return Outcome::done();
        }
        return sendZrinit();
    }

    // The bounds that hold however busy the line is.
    Outcome checkClocks() {
        switch (stage) {
        case Stage::Init:
            if (!stageClock.over()) break;
            printf("No file offered, giving up\n");
            return giveUp();
        case Stage::Data:
            if (stall.elapsedMs() <= kStallMs + 2 * wireTimeMs(wire.port, 2 * kMaxSubpacket)) break;
            printf("No progress at %lu, giving up\n", (unsigned long)stored);
            return giveUp();
        case Stage::AfterFile:
            if (!stageClock.over()) break;
            printf("Sender did not end the session\n");
            return Outcome::done();
        }
        return Outcome::going();
    }

    Outcome run() {
        if (Outcome o = sendZrinit(); o.ended()) return o;
        for (;;) {
            WaitClock quiet = WaitClock::onTick(silenceMs());
            Event event;
            const Got got = awaitEvent(wire, quiet, event, true);
            Outcome step = got == Got::Event ? take(event) : got == Got::Nothing ? onSilence() : ended(got);
            if (!step.ended()) step = checkClocks();
            if (step.ended()) return settled(step);
        }
    }
};

}  // namespace

int receiveFile(uint32_t port, const char* fileName, int mode) {
    if (!hostOpenToWrite() || !hostWriteByte() || !hostCloseFile()) return 0;
    OpenPort* record = findOpenPort(port);
    if (!record || (mode != 4 && mode != 5)) return 0;
    if (!fileName) fileName = "";
    std::unique_ptr<Receiver> receiver(new Receiver(*record));
    receiver->file.id = hostOpenToWrite()(fileName);
    if (receiver->file.id == 0) {
        reportError(MSG_RECV_OPEN_FILE, fileName);
        return 0;
    }
    const Outcome end = receiver->run();
    return transfer::finish(end, receiver->file, record->portName.get());
}

}  // namespace zmodem
