#include "sender.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/port_table.h"
#include "../serial/serial_io.h"
#include "modes.h"
#include "packet.h"

namespace xmodem {
namespace {

// Trace lines are put together here and handed to stdout in one write: under
// Wine every call into the C runtime's stdio costs about a microsecond, and the
// answer wait prints two lines for every block.
void traceNumber(const char* format, int value) {
    char line[64];
    int length = snprintf(line, sizeof line, format, value);
    if (length > 0) fwrite(line, 1, size_t(length) < sizeof line ? size_t(length) : sizeof line - 1, stdout);
}

// "Received: " and the chunk as text, up to its first zero byte.
void traceReceived(const char* text) {
    static const char kLead[] = "Received: ";
    constexpr size_t kLeadLength = sizeof kLead - 1;
    char line[128];
    size_t length = strlen(text);
    if (kLeadLength + length + 1 > sizeof line) {
        printf("%s%s\n", kLead, text);
        return;
    }
    memcpy(line, kLead, kLeadLength);
    memcpy(line + kLeadLength, text, length);
    line[kLeadLength + length] = '\n';
    fwrite(line, 1, kLeadLength + length + 1, stdout);
}

enum class Scan { Continue, End };
enum class Wait { Decided, TimedOut, Ended };

struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;
    DWORD length = 0;
};

struct Sender {
    uint32_t port;
    OpenPort* record;
    const Mode* mode;
    HostFile file;
    Check check = Check::Sum;
    uint8_t packet[kLongestPacket];
    // The file's bytes read ahead and not yet acknowledged: a block's bytes
    // stay here until its ACK, so that a 1K block can go again as 128-byte
    // ones, and what is held tells how much of the file is left.
    uint8_t ahead[kLongBlock];
    size_t held = 0;

    float elapsedSince(float start) { return hostTimer()() - start; }

    // One receive chunk: the n bytes the queue holds, or, when it is empty,
    // the next byte to arrive within the port time-outs together with
    // whatever came in behind it. A failed or empty read gives no chunk.
    // `drained` tells whether the query for what came in behind found the
    // queue empty: that query then ends the pass.
    Chunk readChunk(int queued, bool* drained) {
        *drained = false;
        Chunk chunk;
        DWORD want = queued > 0 ? DWORD(queued) : 1;
        chunk.bytes.reset(new uint8_t[want + 1]);
        DWORD got = 0;
        if (!ReadFile(record->osHandle, chunk.bytes.get(), want, &got, nullptr) || got == 0) return Chunk();
        if (queued <= 0) {
            int behind = serialBytesAvailable(port);
            *drained = behind <= 0;
            if (behind > 0) {
                std::unique_ptr<uint8_t[]> bigger(new uint8_t[1 + DWORD(behind) + 1]);
                bigger[0] = chunk.bytes[0];
                DWORD more = 0;
                if (ReadFile(record->osHandle, bigger.get() + 1, DWORD(behind), &more, nullptr)) got += more;
                chunk.bytes = std::move(bigger);
            }
        }
        chunk.bytes[got] = 0;
        chunk.length = got;
        return chunk;
    }

    // Reads the receive queue chunk by chunk, handing each to `scan`, until
    // `decided()` holds once the queue has run empty, or more than `limit`
    // seconds have passed since `start`. The time is tested before the
    // decision, and after every chunk so that a flood cannot hold the call.
    template <class ScanFn, class DecidedFn>
    Wait waitFor(float limit, float start, ScanFn scan, DecidedFn decided) {
        bool drained = false;
        for (;;) {
            int queued = drained ? 0 : serialBytesAvailable(port);
            if (queued <= 0) {
                if (elapsedSince(start) > limit) return Wait::TimedOut;
                if (decided()) return Wait::Decided;
            }
            Chunk chunk = readChunk(queued, &drained);
            if (chunk.length > 0) {
                traceReceived(reinterpret_cast<const char*>(chunk.bytes.get()));
                if (scan(chunk.bytes.get(), chunk.length) == Scan::End) return Wait::Ended;
            }
            if (queued > 0 && elapsedSince(start) > limit) return Wait::TimedOut;
        }
    }

    // The first NAK starts it with the 8-bit sum, or, where the mode has
    // CRC, the first C with CRC-16, whichever is read first.
    bool waitForStart() {
        bool started = false;
        auto scan = [&](const uint8_t* bytes, DWORD length) {
            for (DWORD i = 0; i < length && !started; ++i) {
                if (bytes[i] == NAK) {
                    started = true;
                } else if (bytes[i] == CRC_ASK && mode->crc) {
                    started = true;
                    check = Check::Crc;
                }
            }
            return Scan::Continue;
        };
        return waitFor(kStartTimeout, hostTimer()(), scan, [&] { return started; }) == Wait::Decided;
    }

    bool writeBytes(const uint8_t* bytes, DWORD length) {
        DWORD written = 0;
        return WriteFile(record->osHandle, bytes, length, &written, nullptr) != FALSE;
    }

    // Reads ahead until `want` bytes are held or the file has ended. Where
    // the host pads, a block is read whole after one end test, READBYTE_L_L
    // going on past the end; otherwise every byte is read after an end test,
    // so that nothing past the end is ever read.
    void readAhead(size_t want) {
        ReadByteFn readByte = hostReadByte();
        FileEofFn atEnd = hostFileEof();
        if (mode->pad == kHostPad) {
            if (held == 0 && !atEnd(file.id))
                while (held < want) ahead[held++] = static_cast<uint8_t>(readByte(file.id));
            return;
        }
        while (held < want && !atEnd(file.id)) ahead[held++] = static_cast<uint8_t>(readByte(file.id));
    }

    void acknowledged(size_t blockSize) {
        size_t taken = blockSize < held ? blockSize : held;
        memmove(ahead, ahead + taken, held - taken);
        held -= taken;
    }

    // The packet of the block at the front of what is held; gives its length.
    size_t buildPacket(uint8_t blockNumber, size_t blockSize) {
        size_t data = blockSize < held ? blockSize : held;
        memcpy(packet + kDataOffset, ahead, data);
        memset(packet + kDataOffset + data, mode->pad, blockSize - data);
        sealPacket(packet, blockSize, check, blockNumber);
        return packetLength(blockSize, check);
    }

    int run(const char* fileName) {
        if (!waitForStart()) {
            printf("Transfer start timed out\n");
            return 0;
        }
        file.id = hostOpenToRead()(fileName);
        if (file.id == 0) {
            reportError(MSG_SEND_OPEN_FILE, fileName);
            return 0;
        }

        uint8_t blockNumber = 0;
        int blockCount = 0;
        unsigned nakCount = 0;
        unsigned silentWaits = 0;
        unsigned failures = 0;  // NAKs and time-outs of this block
        bool resend = false;
        bool anyAck = false;
        bool longBlocks = mode->blockSize == kLongBlock;
        size_t blockSize = kShortBlock;
        for (;;) {
            if (!resend) {
                readAhead(mode->blockSize);
                if (held == 0) break;
                ++blockNumber;
                ++blockCount;
                silentWaits = 0;
                failures = 0;
                // Once a 1K block would be more than 128 bytes of padding,
                // 128-byte blocks take the rest.
                blockSize = longBlocks && held > kLongBlock - kShortBlock ? kLongBlock : kShortBlock;
            } else if (blockSize == kLongBlock && failures >= kLongBlockTries) {
                // The line is too poor for 1K blocks: the rest goes in
                // 128-byte blocks, this one's bytes first, under its number.
                longBlocks = false;
                blockSize = kShortBlock;
            }
            const size_t packetBytes = buildPacket(blockNumber, blockSize);
            traceNumber("Sending packet %d\n", blockCount);
            if (!writeBytes(packet, DWORD(packetBytes))) {
                int code = lastErrorCode();
                file.close();
                reportError(MSG_SEND_PACKET_FAILED, record->portName.get(), code);
                return 0;
            }

            bool answered = false;
            auto scan = [&](const uint8_t* bytes, DWORD length) {
                for (DWORD i = 0; i < length; ++i) {
                    if (bytes[i] == ACK) {
                        nakCount = 0;
                        resend = false;
                        answered = true;
                        return Scan::Continue;
                    }
                    // A C before any ACK is a receiver still asking for
                    // the first block, with CRC-16.
                    const bool asksAgain = bytes[i] == CRC_ASK && mode->crc && !anyAck;
                    if (bytes[i] == NAK || asksAgain) {
                        if (asksAgain) check = Check::Crc;
                        if (++nakCount > kMaxNaks) {
                            file.close();
                            printf("Received too many NAKs\n");
                            return Scan::End;
                        }
                        resend = true;
                        answered = true;
                        return Scan::Continue;
                    }
                    if (bytes[i] == CAN) {
                        file.close();
                        printf("Receiver cancelled transfer\n");
                        return Scan::End;
                    }
                }
                return Scan::Continue;
            };
            Wait outcome = waitFor(kAnswerTimeout, hostTimer()(), scan, [&] { return answered; });
            if (outcome == Wait::Ended) return 0;
            if (outcome == Wait::TimedOut) {
                // Resends after silence are bounded too: a receiver that gave
                // up never answers again.
                silentWaits = answered ? 0 : silentWaits + 1;
                if (silentWaits >= kMaxSilentWaits) {
                    file.close();
                    printf("Receiver stopped answering, giving up\n");
                    return 0;
                }
                printf("ACK timed out, resending\n");
                resend = true;
            } else {
                silentWaits = 0;
            }
            if (resend) {
                ++failures;
            } else {
                acknowledged(blockSize);
                anyAck = true;
            }
        }

        file.close();
        static const uint8_t eot = EOT;
        if (!writeBytes(&eot, 1)) {
            reportError(MSG_SEND_EOT_FAILED, record->portName.get(), lastErrorCode());
            return 0;
        }
        printf("Sent %d blocks\n", blockCount);
        return 1;
    }
};

}  // namespace

int sendFile(uint32_t port, const char* fileName, int mode) {
    if (!hostTimer() || !hostOpenToRead() || !hostFileEof() || !hostReadByte() || !hostCloseFile()) return 0;
    OpenPort* record = findOpenPort(port);
    const Mode* row = findMode(mode);
    if (!record || !row) return 0;
    Sender sender;
    sender.port = port;
    sender.record = record;
    sender.mode = row;
    return sender.run(fileName ? fileName : "");
}

}  // namespace xmodem
