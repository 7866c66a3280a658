#include "sender.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/port_table.h"
#include "../serial/serial_io.h"
#include "bounds.h"
#include "line.h"
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
enum class Wait { Decided, TimedOut, Ended, Failed };

// Below this rate a packet's own time on the wire is added to the answer
// wait: a write can return before its bytes have crossed the line (under
// Wine it always does), and at 300 baud a 132-byte packet takes 4.4 s.
constexpr uint32_t kSlowLineBaud = 9600;

struct Chunk {
    std::unique_ptr<uint8_t[]> bytes;
    DWORD length = 0;
};

struct Sender {
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

    // The receiver acknowledged the EOT of a transfer with header blocks: it
    // holds the whole file, and the result is 1 whatever follows.
    bool delivered = false;

    // A call on the port failed: the transfer ends with this one report, the
    // file closed first (no report once the file is delivered).
    Wait failed(const char* format, DWORD code) {
        file.close();
        if (!delivered) reportError(format, record->portName.get(), static_cast<int>(code));
        return Wait::Failed;
    }

    // A read that a line error broke off leaves the damaged byte in the
    // queue: what the queue holds then is dropped, as it is no answer.
    // False when a call on the port failed (reported).
    bool dropDamaged() {
        QueueState queue = queryQueue(*record);
        if (!queue.ok) {
            failed(MSG_AVAILABLE_FAILED, queue.code);
            return false;
        }
        if (queue.queued == 0) return true;
        std::unique_ptr<uint8_t[]> scrap(new uint8_t[queue.queued]);
        IoResult read = readPort(*record, scrap.get(), queue.queued);
        if (read.status != IoStatus::Failed) return true;
        failed(MSG_READ_FAILED, read.code);
        return false;
    }

    // One receive chunk: the n bytes the queue holds, or, when it is empty,
    // the next byte to arrive within the port time-outs together with
    // whatever came in behind it. An empty read gives no chunk, and so does
    // one that a line error broke off: damaged bytes are no answer.
    // `drained` tells whether the query for what came in behind found the
    // queue empty: that query then ends the pass. False when a call on the
    // port failed (reported).
    bool readChunk(DWORD queued, bool* drained, Chunk* chunk) {
        *drained = false;
        DWORD want = queued > 0 ? queued : 1;
        chunk->bytes.reset(new uint8_t[want + 1]);
        LineRead read = readLine(*record, chunk->bytes.get(), want);
        if (read.status == IoStatus::Failed) {
            failed(read.queryFailed ? MSG_AVAILABLE_FAILED : MSG_READ_FAILED, read.code);
            return false;
        }
        if (read.status == IoStatus::Damaged) return dropDamaged();
        if (read.count == 0) return true;
        DWORD got = read.count;
        if (queued == 0) {
            QueueState behind = queryQueue(*record);
            if (!behind.ok) {
                failed(MSG_AVAILABLE_FAILED, behind.code);
                return false;
            }
            *drained = behind.queued == 0;
            if (behind.queued > 0) {
                std::unique_ptr<uint8_t[]> bigger(new uint8_t[1 + behind.queued + 1]);
                bigger[0] = chunk->bytes[0];
                IoResult more = readPort(*record, bigger.get() + 1, behind.queued);
                if (more.status == IoStatus::Failed) {
                    failed(MSG_READ_FAILED, more.code);
                    return false;
                }
                chunk->bytes = std::move(bigger);
                if (more.status == IoStatus::Done)
                    got += more.count;
                else if (!dropDamaged())
                    return false;
            }
        }
        chunk->bytes[got] = 0;
        chunk->length = got;
        return true;
    }

    // Reads the receive queue chunk by chunk, handing each to `scan`, until
    // `decided()` holds once the queue has run empty, or more than `limit`
    // seconds have passed. The time is tested before the decision, and after
    // every chunk so that a flood cannot hold the call. A failing call on
    // the port ends the wait, and the transfer, after its report.
    template <class ScanFn, class DecidedFn>
    Wait waitFor(float limit, ScanFn scan, DecidedFn decided) {
        WaitClock clock(limit);
        bool drained = false;
        for (;;) {
            DWORD queued = 0;
            if (!drained) {
                QueueState queue = queryQueue(*record);
                if (!queue.ok) return failed(MSG_AVAILABLE_FAILED, queue.code);
                queued = queue.queued;
            }
            if (queued == 0) {
                if (clock.over()) return Wait::TimedOut;
                if (decided()) return Wait::Decided;
            }
            Chunk chunk;
            if (!readChunk(queued, &drained, &chunk)) return Wait::Failed;
            if (chunk.length > 0) {
                traceReceived(reinterpret_cast<const char*>(chunk.bytes.get()));
                if (scan(chunk.bytes.get(), chunk.length) == Scan::End) return Wait::Ended;
            }
            if (queued > 0 && clock.over()) return Wait::TimedOut;
        }
    }

    // The first NAK starts it with the 8-bit sum, or, where the mode has
    // CRC, the first C with CRC-16, whichever is read first.
    Wait waitForStart() {
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
        return waitFor(kStartTimeout, scan, [&] { return started; });
    }

    // The answer wait allows for the packet's time on the wire below
    // kSlowLineBaud.
    float answerLimit(size_t packetBytes) const {
        if (record->baudRate >= kSlowLineBaud) return kAnswerTimeout;
        return kAnswerTimeout + static_cast<float>(wireTimeMs(*record, static_cast<uint32_t>(packetBytes))) / 1000.0f;
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

    // ---- header blocks: block 0 carries the file's name and size ahead of
    // the data; after the data the EOT is acknowledged, and an empty block 0
    // ends the batch.

    // How a receiver answered a block 0 or an EOT, read byte by byte.
    struct Answer {
        bool acked = false;
        bool asked = false;    // a C or NAK after the ACK: it asks for what comes next
        bool refused = false;  // a NAK, or a C, before any ACK
        bool cancelled = false;
        bool failed = false;   // a call on the port failed (reported)
    };

    // Reads the answer to what was just written for up to `limit` seconds,
    // until it is refused or, once acknowledged, `needsAsk` is met. A C
    // where an ACK is due means a receiver that took what was sent and asks
    // for the next thing (`cTakes`), or else one that asks again with
    // CRC-16.
    Answer readAnswer(float limit, bool needsAsk, bool cTakes) {
        Answer a;
        auto scan = [&](const uint8_t* bytes, DWORD length) {
            for (DWORD i = 0; i < length && !a.refused; ++i) {
                const uint8_t b = bytes[i];
                if (b == CAN) {
                    a.cancelled = true;
                    return Scan::End;
                }
                if (a.acked) {
                    a.asked = a.asked || b == CRC_ASK || b == NAK;
                } else if (b == ACK) {
                    a.acked = true;
                } else if (b == CRC_ASK && mode->crc && cTakes) {
                    a.acked = a.asked = true;
                } else if (b == NAK || (b == CRC_ASK && mode->crc)) {
                    if (b == CRC_ASK) check = Check::Crc;
                    a.refused = true;
                }
            }
            return Scan::Continue;
        };
        a.failed = waitFor(limit, scan, [&] { return a.refused || (a.acked && (a.asked || !needsAsk)); }) ==
                   Wait::Failed;
        return a;
    }

    IoResult writeBlockZero(size_t blockSize) {
        sealPacket(packet, blockSize, check, 0);
        return writeLine(*record, packet, DWORD(packetLength(blockSize, check)));
    }

    // Block 0 for the file: the part of `fileName` after its last \ or /, a
    // NUL, the size in decimal and " 0", NULs up to 128 bytes, or up to 1024
    // when 128 do not hold them. The 0 is the modification time, "unknown":
    // a receiver that reads that field and does not find it may date the
    // file anywhere (lrzsz's rb: in the year 2446). Gives the block size, or
    // 0 after a trace line when there is no such header.
    size_t buildHeader(const char* fileName) {
        const int size = hostFileSize()(file.id);
        if (size < 0) {
            printf("File size from the host is negative: %d\n", size);
            return 0;
        }
        const char* name = fileName;
        for (const char* at = fileName; *at; ++at)
            if (*at == '\\' || *at == '/') name = at + 1;
        const size_t nameLength = strlen(name);
        if (nameLength == 0) {
            // An empty name would tell the receiver that the batch is over.
            printf("No file name for the header block\n");
            return 0;
        }
        char fields[16];
        const size_t fieldsLength = size_t(snprintf(fields, sizeof fields, "%d 0", size));
        const size_t used = nameLength + 1 + fieldsLength + 1;  // a NUL after the fields too
        if (used > kLongBlock) {
            printf("File name too long for the header block: %lu bytes\n", (unsigned long)nameLength);
            return 0;
        }
        const size_t blockSize = used <= kShortBlock ? kShortBlock : kLongBlock;
        uint8_t* data = packet + kDataOffset;
        memset(data, 0, blockSize);
        memcpy(data, name, nameLength);
        memcpy(data + nameLength + 1, fields, fieldsLength);
        return blockSize;
    }

    // Sends the header until the receiver acknowledges it and asks for the
    // data, under the bounds of a data block: the 11th refusal, the 10th
    // answer wait in a row without one, a CAN, or a failed write ends the
    // transfer. An ACK without the ask is answered by the header again.
    bool sendHeader(const char* fileName) {
        const size_t blockSize = buildHeader(fileName);
        if (blockSize == 0) {
            file.close();
            return false;
        }
        unsigned refusals = 0;
        unsigned silentWaits = 0;
        for (unsigned sends = 0;; ++sends) {
            if (sends == kBlockBudget) {
                file.close();
                printf("File header sent %u times, giving up\n", kBlockBudget);
                return false;
            }
            printf("Sending file header\n");
            IoResult write = writeBlockZero(blockSize);
            if (write.status != IoStatus::Done) {
                file.close();
                reportError(MSG_SEND_PACKET_FAILED, record->portName.get(), static_cast<int>(write.code));
                return false;
            }
            const Answer a = readAnswer(answerLimit(packetLength(blockSize, check)), true, false);
            if (a.failed) return false;
            if (a.cancelled) {
                file.close();
                printf("Receiver cancelled transfer\n");
                return false;
            }
            if (a.acked && a.asked) return true;
            if (a.refused) {
                silentWaits = 0;
                if (++refusals > kMaxNaks) {
                    file.close();
                    printf("Received too many NAKs\n");
                    return false;
                }
                continue;
            }
            if (++silentWaits >= kMaxSilentWaits) {
                file.close();
                printf("Receiver stopped answering, giving up\n");
                return false;
            }
            printf("ACK timed out, resending\n");
        }
    }

    // After the data: the EOT until it is acknowledged, then, when the
    // receiver asks for the next header, the empty block 0 that ends the
    // batch. Once the EOT is acknowledged the receiver holds the whole file
    // and the result is 1, whatever becomes of the end of the batch: a
    // receiver that took it may be gone before its ACK is read.
    int endBatch(int blockCount) {
        static const uint8_t eot = EOT;
        Answer a;
        for (unsigned tries = 0; !a.acked; ++tries) {
            if (tries == kMaxEots) {
                printf("EOT not acknowledged, giving up\n");
                return 0;
            }
            IoResult write = writeLine(*record, &eot, 1);
            if (write.status != IoStatus::Done) {
                reportError(MSG_SEND_EOT_FAILED, record->portName.get(), static_cast<int>(write.code));
                return 0;
            }
            a = readAnswer(kEotAnswerTimeout, true, true);
            if (a.failed) return 0;
            if (a.cancelled && !a.acked) {
                printf("Receiver cancelled transfer\n");
                return 0;
            }
            if (!a.acked && !a.refused) printf("ACK timed out, resending\n");
        }
        delivered = true;
        if (!a.asked) {
            printf("Receiver did not ask for the end of the batch\n");
        } else {
            memset(packet + kDataOffset, 0, kShortBlock);
            for (unsigned refusals = 0;;) {
                printf("Sending end of batch\n");
                if (writeBlockZero(kShortBlock).status != IoStatus::Done) {
                    printf("End of batch not sent\n");
                    break;
                }
                a = readAnswer(answerLimit(packetLength(kShortBlock, check)), false, false);
                if (a.failed) break;
                if (a.refused && ++refusals <= kMaxNaks) continue;
                if (!a.acked && !a.cancelled) printf("End of batch not acknowledged\n");
                break;
            }
        }
        printf("Sent %d blocks\n", blockCount);
        return 1;
    }

    int run(const char* fileName) {
        const Wait start = waitForStart();
        if (start == Wait::Failed) return 0;
        if (start != Wait::Decided) {
            printf("Transfer start timed out\n");
            return 0;
        }
        file.id = hostOpenToRead()(fileName);
        if (file.id == 0) {
            reportError(MSG_SEND_OPEN_FILE, fileName);
            return 0;
        }
        if (mode->headerBlock && !sendHeader(fileName)) return 0;

        uint8_t blockNumber = 0;
        int blockCount = 0;
        unsigned nakCount = 0;
        unsigned silentWaits = 0;
        unsigned failures = 0;  // NAKs and time-outs of this block
        unsigned sends = 0;     // of this block, in packets of either size
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
                sends = 0;
                // Once a 1K block would be more than 128 bytes of padding,
                // 128-byte blocks take the rest.
                blockSize = longBlocks && held > kLongBlock - kShortBlock ? kLongBlock : kShortBlock;
            } else if (blockSize == kLongBlock && failures >= kLongBlockTries) {
                // The line is too poor for 1K blocks: the rest goes in
                // 128-byte blocks, this one's bytes first, under its number.
                longBlocks = false;
                blockSize = kShortBlock;
            }
            if (sends == kBlockBudget) {
                file.close();
                printf("Packet %d sent %u times, giving up\n", blockCount, kBlockBudget);
                return 0;
            }
            ++sends;
            const size_t packetBytes = buildPacket(blockNumber, blockSize);
            traceNumber("Sending packet %d\n", blockCount);
            IoResult write = writeLine(*record, packet, DWORD(packetBytes));
            if (write.status != IoStatus::Done) {
                file.close();
                reportError(MSG_SEND_PACKET_FAILED, record->portName.get(), static_cast<int>(write.code));
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
            Wait outcome = waitFor(answerLimit(packetBytes), scan, [&] { return answered; });
            if (outcome == Wait::Ended || outcome == Wait::Failed) return 0;
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
        if (mode->headerBlock) return endBatch(blockCount);
        static const uint8_t eot = EOT;
        IoResult write = writeLine(*record, &eot, 1);
        if (write.status != IoStatus::Done) {
            reportError(MSG_SEND_EOT_FAILED, record->portName.get(), static_cast<int>(write.code));
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
    if (row->headerBlock && !hostFileSize()) return 0;
    Sender sender;
    sender.record = record;
    sender.mode = row;
    return sender.run(fileName ? fileName : "");
}

}  // namespace xmodem
