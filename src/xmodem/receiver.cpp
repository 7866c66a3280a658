#include "receiver.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/clock.h"
#include "../serial/port_table.h"
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
    Check check = Check::Sum;
    bool packetTaken = false;  // a packet was acknowledged: the sender has its check
    unsigned silentCs = 0;

    // Until a packet is taken, a CRC receiver asks with C; a NAK then would
    // start a sender that missed the Cs with the 8-bit sum.
    bool askingWithC() const { return check == Check::Crc && !packetTaken; }
    uint8_t askByte() const { return askingWithC() ? CRC_ASK : NAK; }

    // Takes the failed call's code, closes the file, then reports.
    int fail(const char* format) {
        int code = lastErrorCode();
        file.close();
        reportError(format, port->portName.get(), code);
        return 0;
    }

    bool writeByte(uint8_t value) {
        DWORD written = 0;
        return WriteFile(port->osHandle, &value, 1, &written, nullptr) != FALSE;
    }

    // Drops what is still coming in until the line has been quiet for one
    // read time-out, so that the rest of a garbled packet is never taken for
    // the next header. A line that never goes quiet is given up on after
    // kDrainLimitMs.
    bool drainLine() {
        uint8_t scrap[256];
        uint64_t start = nowMs();
        while (nowMs() - start < kDrainLimitMs) {
            DWORD errors = 0;
            COMSTAT stat;
            memset(&stat, 0, sizeof stat);
            DWORD want = 1;
            if (ClearCommError(port->osHandle, &errors, &stat) && stat.cbInQue > 0)
                want = stat.cbInQue < sizeof scrap ? stat.cbInQue : sizeof scrap;
            DWORD got = 0;
            if (!ReadFile(port->osHandle, scrap, want, &got, nullptr)) return false;
            if (got == 0) break;
        }
        return true;
    }

    // Counts a rejected packet and asks for it again. Returns false when the
    // transfer is over: the 11th rejection in a row, or a failed read or NAK.
    bool reject(int* result) {
        ++rejections;
        *result = 0;
        if (rejections > kMaxRejections) {
            file.close();
            return false;
        }
        if (!drainLine()) {
            fail(MSG_RECV_BYTES_FAILED);
            return false;
        }
        if (!writeByte(askByte())) {
            fail(MSG_RECV_NAK_FAILED);
            return false;
        }
        return true;
    }

    // A silence where a header is expected. While asking with C it draws
    // another C, and the third C that meets silence gives way to NAK and the
    // 8-bit sum: the sender may not know C. Otherwise a long silence counts
    // as a rejected packet, and its NAK also asks a sender that missed the
    // first one.
    bool noHeader(int* result) {
        if (!askingWithC()) return reject(result);
        if (++silentCs == kCrcAsks) check = Check::Sum;
        if (writeByte(askByte())) return true;
        *result = fail(MSG_RECV_START_FAILED);
        return false;
    }

    void store(size_t blockSize) {
        WriteByteFn writeByteToFile = hostWriteByte();
        for (size_t i = kDataOffset; i < kDataOffset + blockSize; ++i) writeByteToFile(file.id, packet[i]);
    }

    int cancelled() {
        file.close();
        drainLine();  // the rest of the sender's CANs, so the next call does not take them
        printf("Sender cancelled transfer\n");
        return 0;
    }

    int run() {
        if (mode->crc) check = Check::Crc;
        if (!writeByte(askByte())) return fail(MSG_RECV_START_FAILED);
        uint64_t waitingSince = nowMs();
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(port->osHandle, packet, 1, &got, nullptr)) return fail(MSG_RECV_HEADER_FAILED);
            if (got == 0) {
                if (nowMs() - waitingSince >= (askingWithC() ? kCrcAskMs : kHeaderSilenceMs)) {
                    int result;
                    if (!noHeader(&result)) return result;
                    waitingSince = nowMs();
                }
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
            uint64_t lastByteAt = nowMs();
            while (have < length) {
                DWORD want = DWORD(length - have < kLongestPieceRead ? length - have : kLongestPieceRead);
                if (!ReadFile(port->osHandle, packet + have, want, &got, nullptr)) return fail(MSG_RECV_BYTES_FAILED);
                if (got > 0) {
                    have += got;
                    lastByteAt = nowMs();
                    // A lone CAN is taken for a garbled header; two end it.
                    if (packet[0] == CAN && packet[1] == CAN) return cancelled();
                } else if (nowMs() - lastByteAt >= kPacketSilenceMs) {
                    break;  // the sender stalled inside a packet
                }
            }

            if (have == length && packetWellFormed(packet, blockSize, check)) {
                rejections = 0;
                packetTaken = true;
                uint8_t block = packet[1];
                if (block == uint8_t(lastAccepted + 1)) {
                    store(blockSize);
                    lastAccepted = block;
                    ++receivedBlocks;
                } else if (block != lastAccepted) {
                    // Acknowledging it would let the sender go on past a block
                    // we never got: the file would be short and look whole.
                    printf("Sender out of sequence: got block %d, expected block %d\n", block,
                           uint8_t(lastAccepted + 1));
                    file.close();
                    return 0;
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
