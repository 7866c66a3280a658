#include "sender.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../hostapi/error_report.h"
#include "../hostapi/host_file.h"
#include "../serial/port_table.h"
#include "../transfer/clock.h"
#include "../transfer/link.h"
#include "../transfer/outcome.h"
#include "../transfer/trace.h"
#include "block_zero.h"
#include "bounds.h"
#include "modes.h"
#include "packet.h"

namespace xmodem {
namespace {

using transfer::Outcome;

// Below this rate a packet's own time on the wire is added to the answer
// wait: a write can return before its bytes have crossed the line (under
// Wine it always does), and at 300 baud a 132-byte packet takes 4.4 s.
constexpr uint32_t kSlowLineBaud = 9600;

// The most one read of the receive queue takes; more waits for the next.
constexpr DWORD kChunkRoom = 4096;

// What a receiver's byte says. C asks for CRC-16, in a mode that has it.
enum class Reply { Ack, Nak, AskCrc, Cancel, None };

Reply sortReply(uint8_t byte, const Mode& mode) {
    switch (byte) {
    case ACK: return Reply::Ack;
    case NAK: return Reply::Nak;
    case CAN: return Reply::Cancel;
    case CRC_ASK: return mode.crc ? Reply::AskCrc : Reply::None;
    default: return Reply::None;
    }
}

enum class Scan { Continue, End };
enum class Wait { Decided, TimedOut, Ended, Failed };

// How a receiver answered a block 0 or an EOT, read byte by byte.
struct Answer {
    bool acked = false;
    bool asked = false;    // a C or NAK after the ACK: it asks for what comes next
    bool refused = false;  // a NAK, or a C, before any ACK
    bool cancelled = false;
    Outcome failure;       // a call on the port failed
};

struct Sender {
    OpenPort& port;
    transfer::Link link{port};
    const Mode& mode;
    hostapi::HostFile file;
    Check check = Check::Sum;
    uint8_t packet[kLongestPacket];
    uint8_t chunk[kChunkRoom + 1];  // one read of the receive queue, and a terminator for its trace
    // The file's bytes read ahead and not yet acknowledged: a block's bytes
    // stay here until its ACK, so that a 1K block can go again as 128-byte
    // ones, and what is held tells how much of the file is left.
    uint8_t ahead[kLongBlock];
    size_t held = 0;
    int blockCount = 0;

    Sender(OpenPort& p, const Mode& m) : port(p), mode(m) {}

    // Reads the receive queue chunk by chunk, handing each to `scan`, until
    // `decided()` holds once the queue has run empty, or more than `limit`
    // seconds have passed. The time is tested before the decision, and after
    // every chunk so that a flood cannot hold the call. A failing call on
    // the port ends the wait, and the transfer.
    template <class ScanFn, class DecidedFn>
    Wait waitFor(float limit, ScanFn scan, DecidedFn decided, Outcome* failure) {
        transfer::WaitClock clock = transfer::WaitClock::onHostTimer(limit);
        bool drained = false;
        for (;;) {
            DWORD queued = 0;
            if (!drained) {
                QueueState queue = link.queued();
                if (!queue.ok) return failedWait(failure, MSG_AVAILABLE_FAILED, queue.code);
                queued = queue.queued;
            }
            if (queued == 0) {
                if (clock.over()) return Wait::TimedOut;
                if (decided()) return Wait::Decided;
            }
            transfer::Chunk got = link.readChunk(chunk, kChunkRoom, queued);
            if (got.status == IoStatus::Failed)
                return failedWait(failure, got.queryFailed ? MSG_AVAILABLE_FAILED : MSG_READ_FAILED, got.code);
            drained = got.drained;
            if (got.count > 0) {
                chunk[got.count] = 0;
                transfer::traceReceived(reinterpret_cast<const char*>(chunk));
                if (scan(chunk, got.count) == Scan::End) return Wait::Ended;
            }
            if (queued > 0 && clock.over()) return Wait::TimedOut;
        }
    }

    static Wait failedWait(Outcome* failure, const char* format, DWORD code) {
        *failure = Outcome::failed(format, code);
        return Wait::Failed;
    }

    // The first NAK starts it with the 8-bit sum, or, where the mode has
    // CRC, the first C with CRC-16, whichever is read first.
    Outcome waitForStart() {
        bool started = false;
        auto scan = [&](const uint8_t* bytes, DWORD length) {
            for (DWORD i = 0; i < length && !started; ++i) {
                const Reply reply = sortReply(bytes[i], mode);
                started = reply == Reply::Nak || reply == Reply::AskCrc;
                if (reply == Reply::AskCrc) check = Check::Crc;
            }
            return Scan::Continue;
        };
        Outcome failure;
        const Wait start = waitFor(kStartTimeout, scan, [&] { return started; }, &failure);
        if (start == Wait::Failed) return failure;
        if (start == Wait::Decided) return Outcome::going();
        printf("Transfer start timed out\n");
        return Outcome::gaveUp();
    }

    // The answer wait allows for the packet's time on the wire below
    // kSlowLineBaud.
    float answerLimit(size_t packetBytes) const {
        if (port.baudRate >= kSlowLineBaud) return kAnswerTimeout;
        return kAnswerTimeout + static_cast<float>(wireTimeMs(port, static_cast<uint32_t>(packetBytes))) / 1000.0f;
    }

    // Reads the answer to what was just written for up to `limit` seconds,
    // until it is refused or, once acknowledged, `needsAsk` is met. A C
    // where an ACK is due means a receiver that took what was sent and asks
    // for the next thing (`cTakes`), or else one that asks again with
    // CRC-16.
    Answer readAnswer(float limit, bool needsAsk, bool cTakes) {
        Answer a;
        auto scan = [&](const uint8_t* bytes, DWORD length) {
            for (DWORD i = 0; i < length && !a.refused; ++i) {
                const Reply reply = sortReply(bytes[i], mode);
                if (reply == Reply::Cancel) {
                    a.cancelled = true;
                    return Scan::End;
                }
                if (a.acked) {
                    a.asked = a.asked || bytes[i] == CRC_ASK || reply == Reply::Nak;
                } else if (reply == Reply::Ack) {
                    a.acked = true;
                } else if (reply == Reply::AskCrc && cTakes) {
                    a.acked = a.asked = true;
                } else if (reply == Reply::Nak || reply == Reply::AskCrc) {
                    if (reply == Reply::AskCrc) check = Check::Crc;
                    a.refused = true;
                }
            }
            return Scan::Continue;
        };
        waitFor(limit, scan, [&] { return a.refused || (a.acked && (a.asked || !needsAsk)); }, &a.failure);
        return a;
    }

    // Reads ahead until `want` bytes are held or the file has ended. Where
    // the host pads, a block is read whole after one end test, READBYTE_L_L
    // going on past the end; otherwise every byte is read after an end test,
    // so that nothing past the end is ever read.
    void readAhead(size_t want) {
        ReadByteFn readByte = hostReadByte();
        FileEofFn atEnd = hostFileEof();
        if (mode.pad == kHostPad) {
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
        memset(packet + kDataOffset + data, mode.pad, blockSize - data);
        sealPacket(packet, blockSize, check, blockNumber);
        return packetLength(blockSize, check);
    }

    IoResult writeBlockZero(size_t blockSize) {
        sealPacket(packet, blockSize, check, 0);
        return link.write(packet, DWORD(packetLength(blockSize, check)));
    }

    // The header block for the file, in `packet`; gives its block size, or
    // 0 after a trace line when there is no such header.
    size_t buildHeader(const char* fileName) {
        const int size = hostFileSize()(file.id);
        if (size < 0) {
            printf("File size from the host is negative: %d\n", size);
            return 0;
        }
        const BuiltBlockZero built = buildBlockZero(fileName, uint32_t(size), packet + kDataOffset);
        if (built.status == BuiltBlockZero::Status::NoName) printf("No file name for the header block\n");
        if (built.status == BuiltBlockZero::Status::NameTooLong)
            printf("File name too long for the header block: %lu bytes\n", (unsigned long)built.nameLength);
        return built.blockSize;
    }

    // Sends the header until the receiver acknowledges it and asks for the
    // data, under the bounds of a data block: the 11th refusal, the 10th
    // answer wait in a row without one, a CAN, or a failed write ends the
    // transfer. An ACK without the ask is answered by the header again.
    Outcome sendHeader(const char* fileName) {
        const size_t blockSize = buildHeader(fileName);
        if (blockSize == 0) return Outcome::gaveUp();
        unsigned refusals = 0;
        unsigned silentWaits = 0;
        for (unsigned sends = 0;; ++sends) {
            if (sends == kBlockBudget) {
                printf("File header sent %u times, giving up\n", kBlockBudget);
                return Outcome::gaveUp();
            }
            printf("Sending file header\n");
            IoResult write = writeBlockZero(blockSize);
            if (write.status != IoStatus::Done) return Outcome::failed(MSG_SEND_PACKET_FAILED, write.code);
            const Answer a = readAnswer(answerLimit(packetLength(blockSize, check)), true, false);
            if (a.failure.ended()) return a.failure;
            if (a.cancelled) return cancelled();
            if (a.acked && a.asked) return Outcome::going();
            if (a.refused) {
                silentWaits = 0;
                if (++refusals > kMaxNaks) return tooManyNaks();
                continue;
            }
            if (++silentWaits >= kMaxSilentWaits) return stoppedAnswering();
            printf("ACK timed out, resending\n");
        }
    }

    static Outcome cancelled() {
        printf("Receiver cancelled transfer\n");
        return Outcome::gaveUp();
    }
    static Outcome tooManyNaks() {
        printf("Received too many NAKs\n");
        return Outcome::gaveUp();
    }
    static Outcome stoppedAnswering() {
        printf("Receiver stopped answering, giving up\n");
        return Outcome::gaveUp();
    }

    // Where one block stands: sent how often, failed how often.
    struct Block {
        uint8_t number = 0;
        size_t size = kShortBlock;
        unsigned sends = 0;     // in packets of either size
        unsigned failures = 0;  // NAKs and time-outs
        unsigned silentWaits = 0;
    };

    // How the answer to a data packet went.
    enum class Verdict { Acked, Resend, End };

    // Reads the answer to a data packet. The first ACK, NAK, CAN (or C from
    // a receiver still asking for the first block) in a chunk decides for
    // it; a later chunk's decision overrides an earlier one's.
    Verdict awaitBlockAnswer(size_t packetBytes, Block& block, unsigned& nakCount, bool anyAck, Outcome* end) {
        bool answered = false;
        bool resend = false;
        auto scan = [&](const uint8_t* bytes, DWORD length) {
            for (DWORD i = 0; i < length; ++i) {
                const Reply reply = sortReply(bytes[i], mode);
                if (reply == Reply::Ack) {
                    nakCount = 0;
                    resend = false;
                    answered = true;
                    return Scan::Continue;
                }
                const bool asksAgain = reply == Reply::AskCrc && !anyAck;
                if (reply == Reply::Nak || asksAgain) {
                    if (asksAgain) check = Check::Crc;
                    if (++nakCount > kMaxNaks) {
                        *end = tooManyNaks();
                        return Scan::End;
                    }
                    resend = answered = true;
                    return Scan::Continue;
                }
                if (reply == Reply::Cancel) {
                    *end = cancelled();
                    return Scan::End;
                }
            }
            return Scan::Continue;
        };
        const Wait outcome = waitFor(answerLimit(packetBytes), scan, [&] { return answered; }, end);
        if (outcome == Wait::Ended || outcome == Wait::Failed) return Verdict::End;
        if (outcome == Wait::TimedOut) {
            // Resends after silence are bounded too: a receiver that gave
            // up never answers again.
            block.silentWaits = answered ? 0 : block.silentWaits + 1;
            if (block.silentWaits >= kMaxSilentWaits) {
                *end = stoppedAnswering();
                return Verdict::End;
            }
            printf("ACK timed out, resending\n");
            return Verdict::Resend;
        }
        block.silentWaits = 0;
        return resend ? Verdict::Resend : Verdict::Acked;
    }

    // Block after block until the file has ended, each sent until it is
    // acknowledged, within its budget.
    Outcome sendBlocks() {
        Block block;
        unsigned nakCount = 0;
        bool resend = false;
        bool anyAck = false;
        bool longBlocks = mode.blockSize == kLongBlock;
        for (;;) {
            if (!resend) {
                readAhead(mode.blockSize);
                if (held == 0) return Outcome::going();
                ++blockCount;
                block = Block{uint8_t(block.number + 1)};
                // Once a 1K block would be more than 128 bytes of padding,
                // 128-byte blocks take the rest.
                block.size = longBlocks && held > kLongBlock - kShortBlock ? kLongBlock : kShortBlock;
            } else if (block.size == kLongBlock && block.failures >= kLongBlockTries) {
                // The line is too poor for 1K blocks: the rest goes in
                // 128-byte blocks, this one's bytes first, under its number.
                longBlocks = false;
                block.size = kShortBlock;
            }
            if (block.sends == kBlockBudget) {
                printf("Packet %d sent %u times, giving up\n", blockCount, kBlockBudget);
                return Outcome::gaveUp();
            }
            ++block.sends;
            const size_t packetBytes = buildPacket(block.number, block.size);
            transfer::traceNumber("Sending packet %d\n", blockCount);
            IoResult write = link.write(packet, DWORD(packetBytes));
            if (write.status != IoStatus::Done) return Outcome::failed(MSG_SEND_PACKET_FAILED, write.code);
            Outcome end;
            const Verdict verdict = awaitBlockAnswer(packetBytes, block, nakCount, anyAck, &end);
            if (verdict == Verdict::End) return end;
            resend = verdict == Verdict::Resend;
            if (resend) {
                ++block.failures;
            } else {
                acknowledged(block.size);
                anyAck = true;
            }
        }
    }

    // One EOT, whose answer stays in the queue for the caller.
    Outcome endWithEot() {
        static const uint8_t eot = EOT;
        IoResult write = link.write(&eot, 1);
        if (write.status != IoStatus::Done) return Outcome::failed(MSG_SEND_EOT_FAILED, write.code);
        printf("Sent %d blocks\n", blockCount);
        return Outcome::done();
    }

    // The EOT until it is acknowledged: a receiver may NAK the first one,
    // and one that is lost leaves the receiver waiting. Once it is
    // acknowledged the receiver holds the whole file. A receiver of a batch
    // then asks for the next header.
    Outcome sendAckedEot(Answer* answer) {
        static const uint8_t eot = EOT;
        for (unsigned tries = 0; !answer->acked; ++tries) {
            if (tries == kMaxEots) {
                printf("EOT not acknowledged, giving up\n");
                return Outcome::gaveUp();
            }
            IoResult write = link.write(&eot, 1);
            if (write.status != IoStatus::Done) return Outcome::failed(MSG_SEND_EOT_FAILED, write.code);
            *answer = readAnswer(kEotAnswerTimeout, mode.headerBlock, mode.headerBlock);
            if (answer->failure.ended()) return answer->failure;
            if (answer->cancelled && !answer->acked) return cancelled();
            if (!answer->acked && !answer->refused) printf("ACK timed out, resending\n");
        }
        return Outcome::going();
    }

    // After an acknowledged EOT, when the receiver asks for the next header,
    // the empty block 0 that ends the batch. The result is 1 whatever
    // becomes of it: a receiver that took it may be gone before its ACK is
    // read.
    void endBatch(const Answer& eotAnswer) {
        if (!eotAnswer.asked) {
            printf("Receiver did not ask for the end of the batch\n");
            return;
        }
        memset(packet + kDataOffset, 0, kShortBlock);
        for (unsigned refusals = 0;;) {
            printf("Sending end of batch\n");
            if (writeBlockZero(kShortBlock).status != IoStatus::Done) {
                printf("End of batch not sent\n");
                return;
            }
            const Answer a = readAnswer(answerLimit(packetLength(kShortBlock, check)), false, false);
            if (a.failure.ended()) return;
            if (a.refused && ++refusals <= kMaxNaks) continue;
            if (!a.acked && !a.cancelled) printf("End of batch not acknowledged\n");
            return;
        }
    }

    Outcome finishFile() {
        file.close();
        if (!mode.eotAcked) return endWithEot();
        Answer eotAnswer;
        if (Outcome o = sendAckedEot(&eotAnswer); o.ended()) return o;
        if (mode.headerBlock) endBatch(eotAnswer);
        printf("Sent %d blocks\n", blockCount);
        return Outcome::done();
    }

    Outcome run(const char* fileName) {
        if (Outcome o = waitForStart(); o.ended()) return o;
        file.id = hostOpenToRead()(fileName);
        if (file.id == 0) return Outcome::failed(MSG_SEND_OPEN_FILE, 0, fileName);
        if (mode.headerBlock) {
            if (Outcome o = sendHeader(fileName); o.ended()) return o;
        }
        if (Outcome o = sendBlocks(); o.ended()) return o;
        return finishFile();
    }
};

}  // namespace

int sendFile(uint32_t port, const char* fileName, int mode) {
    if (!hostTimer() || !hostOpenToRead() || !hostFileEof() || !hostReadByte() || !hostCloseFile()) return 0;
    OpenPort* record = findOpenPort(port);
    const Mode* row = findMode(mode);
    if (!record || !row) return 0;
    if (row->headerBlock && !hostFileSize()) return 0;
    Sender sender(*record, *row);
    const Outcome end = sender.run(fileName ? fileName : "");
    return transfer::finish(end, sender.file, record->portName.get());
}

}  // namespace xmodem
