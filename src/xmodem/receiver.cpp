#include "receiver.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/port_table.h"
#include "../transfer/clock.h"
#include "../transfer/link.h"
#include "../transfer/outcome.h"
#include "block_zero.h"
#include "bounds.h"
#include "modes.h"
#include "packet.h"

namespace xmodem {
namespace {

using transfer::Outcome;
using transfer::WaitClock;

// A read inside a packet asks for at most the rest of a 128-byte packet with
// CRC. The port gives a read of n bytes up to 10 n + 50 ms when nothing comes,
// so a sender that stalls inside a 1K packet is noticed as soon as inside a
// short one.
constexpr size_t kLongestPieceRead = kShortBlock + 4;

// Text from the line for a trace line, control bytes shown as '?'.
const char* printable(const char* text, size_t length, char* shown) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        shown[i] = c < 0x20 || c == 0x7F ? '?' : char(c);
    }
    shown[length] = '\0';
    return shown;
}

struct Receiver {
    OpenPort& port;
    transfer::Link link{port};
    const Mode& mode;
    hostapi::HostFile file;
    uint8_t packet[kLongestPacket];
    uint8_t lastAccepted = 0;
    int receivedBlocks = 0;
    unsigned rejections = 0;
    unsigned tries = 0;  // packets and silences since the last new block
    Check check = Check::Sum;
    bool packetTaken = false;  // a packet was acknowledged: the sender has its check
    unsigned silentCs = 0;

    // Where a transfer with header blocks stands. Without them a transfer
    // is all Data.
    enum class Stage { Header, Data, BatchEnd };
    Stage stage = Stage::Data;
    bool checkSettled = false;  // the header was taken with this check
    bool sizeKnown = false;
    uint64_t sizeLeft = 0;      // bytes the header still promises
    // The EOT was taken with every byte the header promised, and the file
    // closed: the result is 1 whatever the batch's end brings.
    bool fileWhole = false;

    Receiver(OpenPort& p, const Mode& m) : port(p), mode(m) {
        if (mode.crc) check = Check::Crc;
        if (mode.headerBlock) stage = Stage::Header;
    }

    // Until a packet is taken, a CRC receiver asks with C; a NAK then would
    // start a sender that missed the Cs with the 8-bit sum.
    bool askingWithC() const { return check == Check::Crc && !packetTaken; }
    uint8_t askByte() const { return askingWithC() ? CRC_ASK : NAK; }

    // How long a silence where a header is due may last: short while asking
    // a sender to start or to end its batch.
    uint32_t silenceLimitMs() const {
        return (askingWithC() && !checkSettled) || stage == Stage::BatchEnd ? kCrcAskMs : kHeaderSilenceMs;
    }

    // The end of the call. Once the file is whole nothing changes its
    // result: as with the ACK of EOT, the call ends with 1 and no report.
    Outcome ended(Outcome end) const { return fileWhole ? Outcome::done() : end; }
    Outcome gaveUp() const { return ended(Outcome::gaveUp()); }
    Outcome failed(const char* format, DWORD code) const { return ended(Outcome::failed(format, code)); }
    // A failed read, or the failed look at the port after an empty read.
    Outcome failedRead(const transfer::LinkRead& read, const char* format) const {
        return failed(read.queryFailed ? MSG_AVAILABLE_FAILED : format, read.code);
    }

    // Writes `length` bytes; a failure ends the transfer with `format`.
    Outcome answer(const uint8_t* bytes, DWORD length, const char* format) {
        IoResult write = link.write(bytes, length);
        return write.status == IoStatus::Done ? Outcome::going() : failed(format, write.code);
    }
    Outcome answer(uint8_t byte, const char* format) { return answer(&byte, 1, format); }
    // The ACK of a block 0, and the ask for what comes next: the file's data
    // after a header, the next header after an EOT.
    Outcome answerAndAsk() {
        const uint8_t both[2] = {ACK, askByte()};
        return answer(both, 2, MSG_RECV_ACK_FAILED);
    }

    // Drops what is still coming in until the line is quiet, so that the
    // rest of a garbled packet is never taken for the next header.
    Outcome drainLine() {
        const transfer::LinkRead drained = link.dropUntilQuiet(kDrainLimitMs);
        return drained.status == IoStatus::Done ? Outcome::going() : failedRead(drained, MSG_RECV_BYTES_FAILED);
    }

    // Counts one more try at the expected block; the try past the budget
    // ends the transfer.
    Outcome spendTry() {
        if (++tries <= kBlockBudget) return Outcome::going();
        printf("Block %d not received after %u tries, giving up\n",
               stage == Stage::Header ? 0 : uint8_t(lastAccepted + 1), kBlockBudget);
        return gaveUp();
    }

    // Counts a rejected packet and asks for it again, once the rest of what
    // came is dropped (not needed when the line was just found quiet). The
    // 11th rejection in a row, the block's budget spent, or a failed call
    // ends the transfer.
    Outcome reject(bool lineQuiet = false) {
        if (++rejections > kMaxRejections) return gaveUp();
        if (Outcome o = spendTry(); o.ended()) return o;
        if (!lineQuiet) {
            if (Outcome o = drainLine(); o.ended()) return o;
        }
        return answer(askByte(), MSG_RECV_NAK_FAILED);
    }

    Outcome cancelled() {
        file.close();
        link.dropUntilQuiet(kDrainLimitMs);  // the rest of the sender's CANs, so the next call does not take them
        printf("Sender cancelled transfer\n");
        return gaveUp();
    }

    // Stops the sender: two CANs, whose write may fail unheeded (the result
    // is settled), then what it may still send is dropped.
    Outcome refuse(Outcome end) {
        file.close();
        static const uint8_t cancel[2] = {CAN, CAN};
        link.write(cancel, 2);
        link.dropUntilQuiet(kDrainLimitMs);
        return end;
    }

    // Waits for the first byte of the next packet, or an EOT, in packet[0].
    // A silence where a header is due draws another ask (see noHeader); a
    // header that a line error broke off is a rejected packet.
    Outcome awaitHeader() {
        WaitClock silence = WaitClock::onTick(kHeaderSilenceMs);
        for (;;) {
            transfer::LinkRead read = link.read(packet, 1);
            if (read.status == IoStatus::Failed) return failedRead(read, MSG_RECV_HEADER_FAILED);
            if (read.status == IoStatus::Done && read.count == 1) return Outcome::going();
            if (read.status == IoStatus::Damaged) {
                if (Outcome o = reject(); o.ended()) return o;
            } else if (silence.elapsedMs() < silenceLimitMs()) {
                continue;
            } else {
                bool header = false;
                if (Outcome o = noHeader(&header); o.ended() || header) return o;
            }
            silence.restart();
        }
    }

    // A silence where a header is expected. While asking with C it draws
    // another C, and the third C that meets silence gives way to NAK and the
    // 8-bit sum: the sender may not know C. Otherwise one more read: the
    // line has been quiet, so a byte that comes now is no rest of a garbled
    // packet but the sender's next header (*header set, the byte in
    // packet[0]). When none comes, the silence counts as a rejected packet,
    // and its NAK also asks a sender that missed the first one.
    Outcome noHeader(bool* header) {
        if (stage == Stage::BatchEnd) return askForBatchEnd();
        if (!askingWithC() || checkSettled) {
            transfer::LinkRead read = link.read(packet, 1);
            if (read.status == IoStatus::Failed) return failedRead(read, MSG_RECV_HEADER_FAILED);
            *header = read.status == IoStatus::Done && read.count == 1;
            return *header ? Outcome::going() : reject(read.status == IoStatus::Done);
        }
        if (++silentCs == kCrcAsks) check = Check::Sum;
        return answer(askByte(), MSG_RECV_START_FAILED);
    }

    // Reads the rest of the packet whose first byte is in packet[0]. Gives
    // whether the whole packet came; a stall or a line error breaks it off.
    Outcome readPacket(size_t length, bool* whole) {
        size_t have = 1;
        *whole = false;
        WaitClock stall = WaitClock::onTick(kPacketSilenceMs);
        while (have < length) {
            const DWORD want = DWORD(length - have < kLongestPieceRead ? length - have : kLongestPieceRead);
            transfer::LinkRead piece = link.read(packet + have, want);
            if (piece.status == IoStatus::Failed) return failedRead(piece, MSG_RECV_BYTES_FAILED);
            if (piece.status == IoStatus::Damaged) return Outcome::going();
            if (piece.count > 0) {
                have += piece.count;
                stall.restart();
                // A lone CAN is taken for a garbled header; two end it.
                if (packet[0] == CAN && packet[1] == CAN) return cancelled();
            } else if (stall.elapsedMs() >= kPacketSilenceMs) {
                return Outcome::going();  // the sender stalled inside a packet
            }
        }
        *whole = true;
        return Outcome::going();
    }

    // Stores the block's data, or as much of it as the header still
    // promises: the rest is the sender's padding.
    void store(size_t blockSize) {
        size_t length = blockSize;
        if (sizeKnown) {
            if (sizeLeft < length) length = size_t(sizeLeft);
            sizeLeft -= length;
        }
        WriteByteFn writeByteToFile = hostWriteByte();
        for (size_t i = kDataOffset; i < kDataOffset + length; ++i) writeByteToFile(file.id, packet[i]);
    }

    // A well-formed data packet: the next block is stored, a repeat of the
    // last one acknowledged again, anything else ends the transfer.
    Outcome takeDataPacket(size_t blockSize) {
        rejections = 0;
        packetTaken = true;
        const uint8_t block = packet[1];
        if (block == uint8_t(lastAccepted + 1)) {
            if (sizeKnown && sizeLeft == 0) {
                // Storing less than the sender sends would give a file cut
                // short that looks whole.
                printf("Sender sent more than the header's size\n");
                return refuse(Outcome::gaveUp());
            }
            store(blockSize);
            lastAccepted = block;
            ++receivedBlocks;
            tries = 0;
        } else if (block != lastAccepted) {
            // Acknowledging it would let the sender go on past a block we
            // never got: the file would be short and look whole.
            printf("Sender out of sequence: got block %d, expected block %d\n", block, uint8_t(lastAccepted + 1));
            return Outcome::gaveUp();
        } else if (Outcome o = spendTry(); o.ended()) {
            return o;  // a repeat of the stored block: the sender may repeat it without end
        }
        return answer(ACK, MSG_RECV_ACK_FAILED);
    }

    // ---- header blocks: block 0 carries the file's name and size ahead of
    // the data, and an empty block 0 ends the batch.

    // Block 0 in the Header stage.
    Outcome takeHeader(size_t blockSize) {
        const ReadBlockZero header = readBlockZero(packet + kDataOffset, blockSize);
        char shown[kLongBlock + 1];
        switch (header.status) {
        case ReadBlockZero::Status::EndOfBatch:
            printf("Sender ended the batch without a file\n");
            file.close();
            answer(ACK, MSG_RECV_ACK_FAILED);
            return Outcome::gaveUp();
        case ReadBlockZero::Status::NoNameEnd:
            printf("Header name has no end\n");
            return refuse(Outcome::gaveUp());
        case ReadBlockZero::Status::BadSize:
            printf("Header size is not a number: \"%s\"\n",
                   printable(header.sizeField, header.sizeFieldLength < 20 ? header.sizeFieldLength : 20, shown));
            return refuse(Outcome::gaveUp());
        case ReadBlockZero::Status::File:
            break;
        }
        sizeKnown = header.sizeKnown;
        sizeLeft = header.size;
        if (sizeKnown)
            printf("Receiving \"%s\", %llu bytes\n", printable(header.name, header.nameLength, shown),
                   (unsigned long long)sizeLeft);
        else
            printf("Receiving \"%s\", size unknown\n", printable(header.name, header.nameLength, shown));
        rejections = 0;
        if (Outcome o = answerAndAsk(); o.ended()) return o;
        stage = Stage::Data;
        checkSettled = true;
        lastAccepted = 0;
        tries = 0;
        return Outcome::going();
    }

    // A well-formed packet of block 0, or any in the Header and BatchEnd
    // stages.
    Outcome takeBlockZero(size_t blockSize) {
        switch (stage) {
        case Stage::Header:
            if (packet[1] == 0) return takeHeader(blockSize);
            printf("Sender out of sequence: got block %d, expected block 0\n", packet[1]);
            return Outcome::gaveUp();
        case Stage::Data:  // the header again: the sender missed its answer
            rejections = 0;
            if (Outcome o = spendTry(); o.ended()) return o;
            return answerAndAsk();
        case Stage::BatchEnd:
            break;
        }
        return batchEnd();
    }

    // An EOT. Without header blocks it ends the transfer. With them, in the
    // Data stage it ends the file, which must hold every byte the header
    // promised; in the BatchEnd stage the sender missed the answer to it.
    Outcome endOfFile() {
        if (!mode.headerBlock) {
            printf("Received %d blocks\n", receivedBlocks);
            file.close();
            answer(ACK, MSG_RECV_ACK_FAILED);
            return Outcome::done();
        }
        if (stage == Stage::Header) return reject();
        if (stage == Stage::BatchEnd) {
            ++rejections;  // bounds a sender that sends nothing but EOT
            if (rejections > kMaxRejections) return Outcome::done();
            const Outcome o = answerAndAsk();
            return o.ended() ? Outcome::done() : o;
        }
        file.close();
        if (sizeKnown && sizeLeft > 0) {
            printf("Sender ended %llu bytes short of the header's size\n", (unsigned long long)sizeLeft);
            return refuse(Outcome::gaveUp());
        }
        printf("Received %d blocks\n", receivedBlocks);
        fileWhole = true;
        stage = Stage::BatchEnd;
        packetTaken = false;  // asking again, with the check in use
        silentCs = 0;
        rejections = 0;
        tries = 0;
        return answerAndAsk();
    }

    // A well-formed packet in the BatchEnd stage: an empty block 0 ends the
    // batch; a second file is refused, the first being whole.
    Outcome batchEnd() {
        if (packet[1] != 0) return reject();
        if (packet[kDataOffset] == 0) {
            answer(ACK, MSG_RECV_ACK_FAILED);
            return Outcome::done();
        }
        printf("Second file in the batch refused\n");
        return refuse(Outcome::done());
    }

    // Silence after the ask for the batch's end: asked kCrcAsks times, a
    // sender that says nothing more has gone.
    Outcome askForBatchEnd() {
        if (++silentCs >= kCrcAsks) {
            printf("Sender did not end the batch\n");
            return Outcome::done();
        }
        const Outcome o = answer(askByte(), MSG_RECV_START_FAILED);
        return o.ended() ? Outcome::done() : o;
    }

    // One packet after its first byte: read, judged, answered.
    Outcome takePacket() {
        // Any header byte but EOT starts a packet; one the mode does not
        // take is read as a 128-byte one and fails its tests.
        const size_t blockSize = packet[0] == STX && mode.takesLongBlocks ? kLongBlock : kShortBlock;
        bool whole = false;
        if (Outcome o = readPacket(packetLength(blockSize, check), &whole); o.ended()) return o;
        if (!whole || !packetWellFormed(packet, blockSize, check)) return reject();
        if (stage != Stage::Data || (mode.headerBlock && packet[1] == 0 && !packetTaken))
            return takeBlockZero(blockSize);
        return takeDataPacket(blockSize);
    }

    Outcome run() {
        if (Outcome o = answer(askByte(), MSG_RECV_START_FAILED); o.ended()) return o;
        for (;;) {
            if (Outcome o = awaitHeader(); o.ended()) return o;
            const Outcome step = packet[0] == EOT ? endOfFile() : takePacket();
            if (step.ended()) return step;
        }
    }
};

}  // namespace

int receiveFile(uint32_t port, const char* fileName, int mode) {
    if (!hostOpenToWrite() || !hostWriteByte() || !hostCloseFile()) return 0;
    OpenPort* record = findOpenPort(port);
    const Mode* row = findMode(mode);
    if (!record || !row) return 0;
    if (!fileName) fileName = "";
    Receiver receiver(*record, *row);
    receiver.file.id = hostOpenToWrite()(fileName);
    if (receiver.file.id == 0) {
        reportError(MSG_RECV_OPEN_FILE, fileName);
        return 0;
    }
    const Outcome end = receiver.run();
    return transfer::finish(end, receiver.file, record->portName.get());
}

}  // namespace xmodem
