#include "receiver.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../serial/clock.h"
#include "../serial/port_table.h"
#include "../hostapi/host_file.h"
#include "packet.h"

namespace xmodem {
namespace {

uint64_t nowMs() { return wideTickMs(); }

struct Receiver {
    OpenPort* port;
    HostFile file;
    uint8_t packet[kPacketLength];
    uint8_t lastAccepted = 0;
    int receivedBlocks = 0;
    unsigned rejections = 0;

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
        if (!writeByte(NAK)) {
            fail(MSG_RECV_NAK_FAILED);
            return false;
        }
        return true;
    }

    void store() {
        WriteByteFn writeByteToFile = hostWriteByte();
        for (size_t i = kDataOffset; i < kDataOffset + kBlockSize; ++i) writeByteToFile(file.id, packet[i]);
    }

    int run() {
        if (!writeByte(NAK)) return fail(MSG_RECV_START_FAILED);
        uint64_t waitingSince = nowMs();
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(port->osHandle, packet, 1, &got, nullptr)) return fail(MSG_RECV_HEADER_FAILED);
            if (got == 0) {
                // No header yet. A long silence counts as a rejected packet,
                // and its NAK also asks a sender that missed the first one.
                if (nowMs() - waitingSince >= kHeaderSilenceMs) {
                    int result;
                    if (!reject(&result)) return result;
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

            size_t have = 1;
            uint64_t lastByteAt = nowMs();
            while (have < kPacketLength) {
                if (!ReadFile(port->osHandle, packet + have, DWORD(kPacketLength - have), &got, nullptr))
                    return fail(MSG_RECV_BYTES_FAILED);
                if (got > 0) {
                    have += got;
                    lastByteAt = nowMs();
                } else if (nowMs() - lastByteAt >= kPacketSilenceMs) {
                    break;  // the sender stalled inside a packet
                }
            }

            if (have == kPacketLength && packetWellFormed(packet)) {
                rejections = 0;
                uint8_t block = packet[1];
                if (block == uint8_t(lastAccepted + 1)) {
                    store();
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
    if (!record || mode != 0) return 0;
    if (!fileName) fileName = "";
    Receiver receiver;
    receiver.port = record;
    receiver.file.id = hostOpenToWrite()(fileName);
    if (receiver.file.id == 0) {
        reportError(MSG_RECV_OPEN_FILE, fileName, 0, kReportRoomOpenFile);
        return 0;
    }
    return receiver.run();
}

}  // namespace xmodem
