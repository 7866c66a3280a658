#include "sender.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "../hostapi/error_report.h"
#include "../serial/port_table.h"
#include "../serial/serial_io.h"
#include "../hostapi/host_file.h"
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
    HostFile file;
    uint8_t packet[kPacketLength];

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

    bool waitForStart() {
        bool nakSeen = false;
        auto scan = [&](const uint8_t* bytes, DWORD length) {
            for (DWORD i = 0; i < length; ++i)
                if (bytes[i] == NAK) {
                    nakSeen = true;
                    break;
                }
            return Scan::Continue;
        };
        return waitFor(kStartTimeout, hostTimer()(), scan, [&] { return nakSeen; }) == Wait::Decided;
    }

    bool writeBytes(const uint8_t* bytes, DWORD length) {
        DWORD written = 0;
        return WriteFile(record->osHandle, bytes, length, &written, nullptr) != FALSE;
    }

    void buildBlock(uint8_t blockNumber) {
        ReadByteFn readByte = hostReadByte();
        for (size_t i = 0; i < kBlockSize; ++i) packet[kDataOffset + i] = static_cast<uint8_t>(readByte(file.id));
        sealPacket(packet, blockNumber);
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
        bool resend = false;
        for (;;) {
            if (!resend) {
                if (hostFileEof()(file.id)) break;
                ++blockNumber;
                ++blockCount;
                buildBlock(blockNumber);
                silentWaits = 0;
            }
            traceNumber("Sending packet %d\n", blockCount);
            if (!writeBytes(packet, kPacketLength)) {
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
                    if (bytes[i] == NAK) {
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
    if (!record || mode != 0) return 0;
    Sender sender;
    sender.port = port;
    sender.record = record;
    return sender.run(fileName ? fileName : "");
}

}  // namespace xmodem
