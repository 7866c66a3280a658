#include "receiver.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/clock.h"
#include "../serial/port_table.h"
#include "bounds.h"
#include "line.h"
#include "modes.h"
#include "packet.h"

namespace xmodem {
namespace {

uint64_t nowMs() { return wideTickMs(); }

// A read inside a packet asks for at most the rest of a 128-byte packet with
// CRC. The port gives a read of n bytes up to 10 n + 50 ms when nothing comes,
// so a sender that stalls inside a 1K packet is noticed as soon as inside a
// short one.
constexpr size_t kLongestPieceRead = kShortBlock + 4;

struct Receiver {
    OpenPort* port;
    const Mode* mode;
    HostFile file;
    uint8_t packet[kLongestPacket];
    uint8_t lastAccepted = 0;
    int receivedBlocks = 0;
    unsigned rejections = 0;
    unsigned tries = 0;     // packets and silences since the last new block
    DWORD failedCode = 0;   // the code of the call on the port that failed last
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

    // Until a packet is taken, a CRC receiver asks with C; a NAK then would
    // start a sender that missed the Cs with the 8-bit sum.
    bool askingWithC() const { return check == Check::Crc && !packetTaken; }
    uint8_t askByte() const { return askingWithC() ? CRC_ASK : NAK; }

    // How long a silence where a header is due may last: short while asking
    // a sender to start or to end its batch.
    uint64_t silenceLimitMs() const {
        return (askingWithC() && !checkSettled) || stage == Stage::BatchEnd ? kCrcAskMs : kHeaderSilenceMs;
    }

    // Closes the file, then reports the failed call (failedCode). Once the
    // file is whole the device's failure changes nothing: as with the ACK
    // of EOT, the call ends with 1 and no report.
    int fail(const char* format) {
        if (fileWhole) return 1;
        file.close();
        reportError(format, port->portName.get(), static_cast<int>(failedCode));
        return 0;
    }

    // A failed read, or the failed look at the port after an empty read.
    int failRead(const LineRead& read, const char* format) {
        failedCode = read.code;
        return fail(read.queryFailed ? MSG_AVAILABLE_FAILED : format);
    }

    bool writeBytes(const uint8_t* bytes, DWORD length) {
        IoResult write = writeLine(*port, bytes, length);
        failedCode = write.code;
        return write.status == IoStatus::Done;
    }
    bool writeByte(uint8_t value) { return writeBytes(&value, 1); }

    // Drops what is still coming in until the line has been quiet for one
    // read time-out, so that the rest of a garbled packet is never taken for
    // the next header. A line that never goes quiet is given up on after
    // kDrainLimitMs. Gives the failed call, if one failed.
    LineRead drainLine() {
        uint8_t scrap[256];
        uint64_t start = nowMs();
        while (nowMs() - start < kDrainLimitMs) {
            QueueState queue = queryQueue(*port);
            if (!queue.ok) return {IoStatus::Failed, 0, queue.code, true};
            DWORD want = queue.queued == 0 ? 1 : queue.queued < sizeof scrap ? queue.queued : DWORD(sizeof scrap);
            IoResult read = readPort(*port, scrap, want);
            if (read.status == IoStatus::Failed) return {IoStatus::Failed, 0, read.code, false};
            if (read.status == IoStatus::Done && read.count == 0) break;
        }
        return {IoStatus::Done, 0, 0, false};
    }

    // Counts one more try at the expected block; the try past the budget
    // ends the transfer.
    bool spendTry(int* result) {
        if (++tries <= kBlockBudget) return true;
        file.close();
        printf("Block %d not received after %u tries, giving up\n",
               stage == Stage::Header ? 0 : uint8_t(lastAccepted + 1), kBlockBudget);
        *result = fileWhole ? 1 : 0;
        return false;
    }

    // Counts a rejected packet and asks for it again, once the rest of what
    // came is dropped (not needed when the line was just found quiet).
    // Returns false when the transfer is over: the 11th rejection in a row,
    // the block's budget spent, or a failed call.
    bool reject(int* result, bool lineQuiet = false) {
        ++rejections;
        *result = fileWhole ? 1 : 0;
        if (rejections > kMaxRejections) {
            file.close();
            return false;
        }
        if (!spendTry(result)) return false;
        if (!lineQuiet) {
            LineRead drained = drainLine();
            if (drained.status != IoStatus::Done) {
                failRead(drained, MSG_RECV_BYTES_FAILED);
                return false;
            }
        }
        if (!writeByte(askByte())) {
            fail(MSG_RECV_NAK_FAILED);
            return false;
        }
        return true;
    }

    // A silence where a header is expected. While asking with C it draws
    // another C, and the third C that meets silence gives way to NAK and the
    // 8-bit sum: the sender may not know C. Otherwise one more read: the
    // line has been quiet, so a byte that comes now is no rest of a garbled
    // packet but the sender's next header (*header set, the byte in
    // packet[0]). When none comes, the silence counts as a rejected packet,
    // and its NAK also asks a sender that missed the first one.
    bool noHeader(int* result, bool* header) {
        *header = false;
        if (stage == Stage::BatchEnd) return askForBatchEnd(result);
        if (!askingWithC() || checkSettled) {
            LineRead read = readLine(*port, packet, 1);
            if (read.status == IoStatus::Failed) {
                *result = failRead(read, MSG_RECV_HEADER_FAILED);
                return false;
            }
            *header = read.status == IoStatus::Done && read.count == 1;
            return *header || reject(result, read.status == IoStatus::Done);
        }
        if (++silentCs == kCrcAsks) check = Check::Sum;
        if (writeByte(askByte())) return true;
        *result = fail(MSG_RECV_START_FAILED);
        return false;
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

    int cancelled() {
        file.close();
        drainLine();  // the rest of the sender's CANs, so the next call does not take them
        printf("Sender cancelled transfer\n");
        return fileWhole ? 1 : 0;
    }

    // Stops the sender: two CANs, whose write may fail unheeded (the result
    // is settled), then what it may still send is dropped.
    int refuse(int result) {
        file.close();
        static const uint8_t cancel[2] = {CAN, CAN};
        writeBytes(cancel, 2);
        drainLine();
        return result;
    }

    // ---- header blocks: block 0 carries "name NUL size ..." ahead of the
    // data, and an empty block 0 ends the batch.

    // The ACK of a block 0, and the ask for what comes next: the file's data
    // after a header, the next header after an EOT.
    bool answerAndAsk() {
        const uint8_t answer[2] = {ACK, askByte()};
        return writeBytes(answer, 2);
    }

    // Block 0 in the Header stage. Fields after the size (modification time,
    // file mode, ...) are not read; no size at all means an unknown size,
    // and the whole of every block is kept.
    bool takeHeader(size_t blockSize, int* result) {
        const char* data = reinterpret_cast<const char*>(packet + kDataOffset);
        const void* nameEnd = memchr(data, '\0', blockSize);
        const size_t nameLength = nameEnd ? size_t(static_cast<const char*>(nameEnd) - data) : blockSize;
        if (nameLength == 0) {
            printf("Sender ended the batch without a file\n");
            file.close();
            writeByte(ACK);
            *result = 0;
            return false;
        }
        if (nameLength == blockSize) {
            printf("Header name has no end\n");
            *result = refuse(0);
            return false;
        }
        const char* field = data + nameLength + 1;
        size_t room = blockSize - nameLength - 1;
        while (room > 0 && *field == ' ') {
            ++field;
            --room;
        }
        size_t fieldLength = 0;
        while (fieldLength < room && field[fieldLength] != '\0' && field[fieldLength] != ' ') ++fieldLength;
        char shown[kLongBlock];
        if (!parseSize(field, fieldLength)) {
            printf("Header size is not a number: \"%s\"\n", printable(field, fieldLength < 20 ? fieldLength : 20, shown));
            *result = refuse(0);
            return false;
        }
        if (sizeKnown)
            printf("Receiving \"%s\", %llu bytes\n", printable(data, nameLength, shown), (unsigned long long)sizeLeft);
        else
            printf("Receiving \"%s\", size unknown\n", printable(data, nameLength, shown));
        rejections = 0;
        if (!answerAndAsk()) {
            *result = fail(MSG_RECV_ACK_FAILED);
            return false;
        }
        stage = Stage::Data;
        checkSettled = true;
        lastAccepted = 0;
        tries = 0;
        return true;
    }

    // A well-formed packet of block 0, or any in the Header and BatchEnd
    // stages.
    bool takeBlockZero(size_t blockSize, int* result) {
        switch (stage) {
        case Stage::Header:
            if (packet[1] == 0) return takeHeader(blockSize, result);
            printf("Sender out of sequence: got block %d, expected block 0\n", packet[1]);
            file.close();
            *result = 0;
            return false;
        case Stage::Data:  // the header again: the sender missed its answer
            rejections = 0;
            if (!spendTry(result)) return false;
            if (answerAndAsk()) return true;
            *result = fail(MSG_RECV_ACK_FAILED);
            return false;
        case Stage::BatchEnd:
            break;
        }
        return batchEnd(result);
    }

    // Decimal digits only, and a number that fits; none is an unknown size.
    bool parseSize(const char* digits, size_t length) {
        sizeKnown = length > 0;
        sizeLeft = 0;
        for (size_t i = 0; i < length; ++i) {
            if (digits[i] < '0' || digits[i] > '9') return false;
            uint64_t digit = uint64_t(digits[i] - '0');
            if (sizeLeft > (UINT64_MAX - digit) / 10) return false;
            sizeLeft = sizeLeft * 10 + digit;
        }
        return true;
    }

    // Text from the line for a trace line, control bytes shown as '?'.
    static const char* printable(const char* text, size_t length, char* shown) {
        for (size_t i = 0; i < length; ++i) {
            unsigned char c = static_cast<unsigned char>(text[i]);
            shown[i] = c < 0x20 || c == 0x7F ? '?' : char(c);
        }
        shown[length] = '\0';
        return shown;
    }

    // An EOT where transfers with header blocks read a header. In the Data
    // stage it ends the file, which must hold every byte the header
    // promised; in the BatchEnd stage the sender missed the answer to it.
    bool endOfFile(int* result) {
        if (stage == Stage::Header) return reject(result);
        if (stage == Stage::BatchEnd) {
            ++rejections;  // bounds a sender that sends nothing but EOT
            *result = 1;
            return rejections <= kMaxRejections && answerAndAsk();
        }
        file.close();
        if (sizeKnown && sizeLeft > 0) {
            printf("Sender ended %llu bytes short of the header's size\n", (unsigned long long)sizeLeft);
            *result = refuse(0);
            return false;
        }
        printf("Received %d blocks\n", receivedBlocks);
        fileWhole = true;
        stage = Stage::BatchEnd;
        packetTaken = false;  // asking again, with the check in use
        silentCs = 0;
        rejections = 0;
        tries = 0;
        *result = 1;
        return answerAndAsk();
    }

    // A well-formed packet in the BatchEnd stage: an empty block 0 ends the
    // batch; a second file is refused, the first being whole.
    bool batchEnd(int* result) {
        *result = 1;
        if (packet[1] != 0) return reject(result);
        if (packet[kDataOffset] == 0) {
            writeByte(ACK);
            return false;
        }
        printf("Second file in the batch refused\n");
        refuse(1);
        return false;
    }

    // Silence after the ask for the batch's end: asked kCrcAsks times, a
    // sender that says nothing more has gone.
    bool askForBatchEnd(int* result) {
        *result = 1;
        if (++silentCs >= kCrcAsks) {
            printf("Sender did not end the batch\n");
            return false;
        }
        return writeByte(askByte());
    }

    int run() {
        if (mode->crc) check = Check::Crc;
        if (mode->headerBlock) stage = Stage::Header;
        if (!writeByte(askByte())) return fail(MSG_RECV_START_FAILED);
        uint64_t waitingSince = nowMs();
        for (;;) {
            LineRead read = readLine(*port, packet, 1);
            if (read.status == IoStatus::Failed) return failRead(read, MSG_RECV_HEADER_FAILED);
            if (read.status == IoStatus::Damaged) {  // a header that a line error broke off
                int result;
                if (!reject(&result)) return result;
                waitingSince = nowMs();
                continue;
            }
            if (read.count == 0) {
                if (nowMs() - waitingSince < silenceLimitMs()) continue;
                int result;
                bool header = false;
                if (!noHeader(&result, &header)) return result;
                waitingSince = nowMs();
                if (!header) continue;
            }
            if (packet[0] == EOT && mode->headerBlock) {
                int result;
                if (!endOfFile(&result)) return result;
                waitingSince = nowMs();
                continue;
            }
            if (packet[0] == EOT) {
                printf("Received %d blocks\n", receivedBlocks);
                file.close();
                writeByte(ACK);
                return 1;
            }

            // Any other header byte starts a packet; one the mode does not
            // take is read as a 128-byte one and fails its tests.
            const size_t blockSize = packet[0] == STX && mode->takesLongBlocks ? kLongBlock : kShortBlock;
            const size_t length = packetLength(blockSize, check);
            size_t have = 1;
            bool damaged = false;  // a line error broke off a read: the packet is not to be trusted
            uint64_t lastByteAt = nowMs();
            while (have < length) {
                DWORD want = DWORD(length - have < kLongestPieceRead ? length - have : kLongestPieceRead);
                LineRead piece = readLine(*port, packet + have, want);
                if (piece.status == IoStatus::Failed) return failRead(piece, MSG_RECV_BYTES_FAILED);
                if (piece.status == IoStatus::Damaged) {
                    damaged = true;
                    break;
                }
                if (piece.count > 0) {
                    have += piece.count;
                    lastByteAt = nowMs();
                    // A lone CAN is taken for a garbled header; two end it.
                    if (packet[0] == CAN && packet[1] == CAN) return cancelled();
                } else if (nowMs() - lastByteAt >= kPacketSilenceMs) {
                    break;  // the sender stalled inside a packet
                }
            }

            if (!damaged && have == length && packetWellFormed(packet, blockSize, check)) {
                if (stage != Stage::Data || (mode->headerBlock && packet[1] == 0 && !packetTaken)) {
                    int result;
                    if (!takeBlockZero(blockSize, &result)) return result;
                    waitingSince = nowMs();
                    continue;
                }
                rejections = 0;
                packetTaken = true;
                uint8_t block = packet[1];
                if (block == uint8_t(lastAccepted + 1) && sizeKnown && sizeLeft == 0) {
                    // Storing less than the sender sends would give a file
                    // cut short that looks whole.
                    printf("Sender sent more than the header's size\n");
                    return refuse(0);
                }
                if (block == uint8_t(lastAccepted + 1)) {
                    store(blockSize);
                    lastAccepted = block;
                    ++receivedBlocks;
                    tries = 0;
                } else if (block != lastAccepted) {
                    // Acknowledging it would let the sender go on past a block
                    // we never got: the file would be short and look whole.
                    printf("Sender out of sequence: got block %d, expected block %d\n", block,
                           uint8_t(lastAccepted + 1));
                    file.close();
                    return 0;
                } else {
                    int result;  // a repeat of the stored block: the sender may repeat it without end
                    if (!spendTry(&result)) return result;
                }
                if (!writeByte(ACK)) return fail(MSG_RECV_ACK_FAILED);
            } else {
                int result;
                if (!reject(&result)) return result;
            }
            waitingSince = nowMs();
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
    Receiver receiver;
    receiver.port = record;
    receiver.mode = row;
    receiver.file.id = hostOpenToWrite()(fileName);
    if (receiver.file.id == 0) {
        reportError(MSG_RECV_OPEN_FILE, fileName, 0, kReportRoomOpenFile);
        return 0;
    }
    return receiver.run();
}

}  // namespace xmodem
