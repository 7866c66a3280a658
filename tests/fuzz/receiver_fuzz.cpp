// Fuzzes ReceiveSerialFile: the fuzzer's bytes become what arrives on the
// line and when; the receiver's reads and answers are then judged.
//
// The oracle does not re-run the receiver's timing. It judges each answer
// from what the receiver had read since its previous answer (a "span"):
//   - an ACK must answer exactly one 132-byte well-formed packet whose block
//     is the expected one (then stored) or the last stored one (not stored);
//   - a NAK must answer something that is not a well-formed packet that came
//     without pause: nothing at all after 10 s of silence, a garbled packet,
//     or a packet that stalled for 1 s or more (a gap of 1 s in the read
//     times of its bytes, which may have been read after the NAK);
//   - a block is answered 20 times at most (NAKs, and ACKs of repeats of the
//     block before it) before it is stored;
//   - EOT, read as a header, must be answered by ACK and end the call with 1;
//   - two CANs read as a header and the byte after it, less than 1 s apart,
//     must end the call with 0 unanswered;
//   - the call ends with 0 only on the 11th rejection in a row, on a
//     well-formed packet that is neither the expected block nor a repeat, on
//     two CANs where a header was due, or when a block that was answered 20
//     times meets one more rejection, repeat or silence.
// The file must then hold exactly the data of the packets stored by that
// model. Spans come from the bytes the double hands out (onRead) between the
// writes it records (onWrite); timing of the line therefore cannot mislead
// the oracle, and a fault in framing shows as an answer that no span
// justifies.
//
// The same line is then played to a mode 3 (YMODEM) receiver, judged more
// loosely: it ends in time; it writes only C, NAK, ACK, ACK with C or NAK
// behind, or CAN CAN, and nothing after CAN CAN; its first ACK with an ask
// answers a well-formed block 0 that ended the bytes read since its previous
// write and whose name and size it could read; the file holds nothing
// before that header, never more than its size, and exactly its size when
// the result is 1.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_host.h"
#include "plugin/exports.h"

namespace {

using fuzzhost::Filler;
using fuzzhost::Input;
using fuzzhost::violation;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr size_t kPacketLength = 132;
constexpr unsigned kRejectionLimit = 10;
constexpr unsigned kBlockBudget = 20;  // answers for one block
constexpr uint64_t kHeaderSilenceMs = 10000;
constexpr uint64_t kStallMs = 1000;
// After the last byte arrives the receiver needs at most 11 header silences
// of 10 s (plus drains) to give up; 5 minutes of simulated time is ample.
constexpr uint64_t kMarginAfterLastArrivalMs = 5 * 60 * 1000;
constexpr size_t kMaxLineBytes = 40000;  // room for 300 packets: past a wrap of 255

FUZZ_UNCOVERED bool wellFormed(const uint8_t* p) {
    unsigned sum = 0;
    for (size_t i = 0; i < 131; ++i) sum += p[i];
    return p[0] == SOH && p[2] == uint8_t(~p[1]) && p[131] == uint8_t(sum);
}

using Packet = std::array<uint8_t, kPacketLength>;

// Header, block number and sum around the data in p[3..131).
FUZZ_UNCOVERED void seal(Packet& p, uint8_t block) {
    p[0] = SOH;
    p[1] = block;
    p[2] = uint8_t(255 - block);
    unsigned sum = 0;
    for (size_t i = 0; i < 131; ++i) sum += p[i];
    p[131] = uint8_t(sum);
}

Packet makePacket(uint8_t block, Filler& fill) {
    Packet p;
    fill.fill(p.data() + 3, 128);
    seal(p, block);
    return p;
}

// Builds the arrival schedule on the device, in time order.
struct Line {
    w32::Device& dev;
    uint64_t at = 0;
    size_t bytes = 0;
    uint8_t nextBlock = 1;  // the block number a well-behaved sender sends next

    bool full() const { return bytes >= kMaxLineBytes; }
    void send(uint64_t delayMs, const uint8_t* b, size_t n) {
        at += delayMs;
        dev.incoming.push(at, b, n);
        bytes += n;
    }
    void send(uint64_t delayMs, const Packet& p) { send(delayMs, p.data(), p.size()); }
};

void schedule(Input& in, Line& line) {
    using fuzzhost::delayOf;
    while (!in.empty() && !line.full()) {
        uint8_t kind = in.byte();
        uint64_t delay = delayOf(in.byte());
        switch (kind % 8) {
        case 0: {  // raw bytes
            size_t n = std::min<size_t>(in.byte(), in.size - in.at);
            line.send(delay, in.data + in.at, n);
            in.at += n;
            break;
        }
        case 1: {  // well-formed packet: next, repeat, skip ahead or any block
            uint8_t select = in.byte();
            Filler fill(in.byte());
            uint8_t block;
            switch (select % 4) {
            case 0: block = line.nextBlock++; break;
            case 1: block = uint8_t(line.nextBlock - 1); break;
            case 2: block = uint8_t(line.nextBlock + 1); break;
            default: block = in.byte(); break;
            }
            line.send(delay, makePacket(block, fill));
            break;
        }
        case 2: {  // the next packet with one byte changed
            Filler fill(in.byte());
            Packet p = makePacket(line.nextBlock, fill);
            uint8_t at = in.byte();
            uint8_t flip = in.byte();
            p[at % kPacketLength] ^= flip ? flip : 1;
            line.send(delay, p);
            break;
        }
        case 3: {  // the next packet in two pieces
            uint8_t cut = uint8_t(1 + in.byte() % (kPacketLength - 1));
            uint64_t gap = delayOf(in.byte());
            Filler fill(in.byte());
            Packet p = makePacket(line.nextBlock++, fill);
            line.send(delay, p.data(), cut);
            line.send(gap, p.data() + cut, kPacketLength - cut);
            break;
        }
        case 4:
            line.send(delay, &EOT, 1);
            break;
        case 5: {  // a run of new packets, a few ms apart
            unsigned count = 1 + in.byte();
            uint64_t gap = in.byte() % 32;
            Filler fill(in.byte());
            for (unsigned i = 0; i < count && !line.full(); ++i) {
                line.send(i == 0 ? delay : gap, makePacket(line.nextBlock++, fill));
            }
            break;
        }
        case 6: {  // the start of the next packet, then nothing
            Filler fill(in.byte());
            size_t n = 1 + in.byte() % (kPacketLength - 1);
            line.send(delay, makePacket(line.nextBlock, fill).data(), n);
            break;
        }
        default: {  // a packet with data from the input, sealed
            uint8_t block = in.byte();
            Packet p;
            for (size_t i = 3; i < 131; ++i) p[i] = in.byte();
            seal(p, block);
            if (block == line.nextBlock) ++line.nextBlock;
            line.send(delay, p);
            break;
        }
        }
    }
}

// Everything the receiver read, and when each of its reads ended: the bytes
// of one read share its time.
struct ReadLog {
    struct Read {
        size_t end;  // its bytes end here in `bytes`
        uint64_t atMs;
    };
    Bytes bytes;
    std::vector<Read> reads;  // those that took bytes

    size_t readOf(size_t at) const {
        return size_t(std::upper_bound(reads.begin(), reads.end(), at, [](size_t i, const Read& r) { return i < r.end; }) -
                      reads.begin());
    }
    uint64_t timeOf(size_t at) const { return reads[readOf(at)].atMs; }
};

// A write of the receiver's, and where it stands among the reads.
struct Answer {
    size_t readEnd;  // how much of the read log came before it
    uint64_t atMs;
    size_t write;    // in the device's writes
};

// What the receiver read since its previous answer: bytes [begin, end) of
// the log.
struct Span {
    const ReadLog* log;
    size_t begin = 0, end = 0;
    uint64_t since = 0;  // time of the answer that opened it

    size_t size() const { return end - begin; }
    bool empty() const { return end == begin; }
    const uint8_t* bytes() const { return log->bytes.data() + begin; }

    // A well-formed packet starts the span, and no two of its bytes were read
    // kStallMs or more apart. The receiver cannot have broken off such a
    // packet for a stall: a stall ends a read that took no byte at least
    // kStallMs after the last one, so the next byte is read later still. It
    // may reach past the span, when the receiver broke off too early.
    bool unbrokenPacket() const {
        if (log->bytes.size() - begin < kPacketLength || !wellFormed(bytes())) return false;
        for (size_t r = log->readOf(begin); log->reads[r].end < begin + kPacketLength; ++r)
            if (log->reads[r + 1].atMs - log->reads[r].atMs >= kStallMs) return false;
        return true;
    }
    // One that also began before a header silence could have run out: bytes
    // read after that may have been dropped as line noise before the NAK.
    bool promptPacket() const { return unbrokenPacket() && log->timeOf(begin) < since + kHeaderSilenceMs; }
    // Two CANs open the span. When their reads are less than kStallMs apart
    // the receiver cannot have broken off in between: it must cancel.
    bool cancel() const { return size() >= 2 && bytes()[0] == CAN && bytes()[1] == CAN; }
    bool promptCancel() const { return cancel() && log->timeOf(begin + 1) - log->timeOf(begin) < kStallMs; }
};

struct Model {
    Bytes stored;
    uint8_t lastAccepted = 0;
    unsigned rejections = 0;
    unsigned tries = 0;  // answers since the last stored block
    bool eotAnswered = false;

    void answer(const Span& span, const Bytes& write, uint64_t atMs) {
        if (eotAnswered) violation("a write after the ACK of EOT");
        if (write.size() != 1) violation("an answer of %zu bytes", write.size());
        if (!span.empty() && span.bytes()[0] == EOT) {
            if (span.size() != 1 || write[0] != ACK) violation("EOT not answered by a lone ACK");
            eotAnswered = true;
            return;
        }
        if (span.promptCancel()) violation("two CANs answered with 0x%02x", write[0]);
        if (write[0] == ACK) {
            if (span.size() != kPacketLength || !wellFormed(span.bytes()))
                violation("ACK for %zu bytes that are not one well-formed packet", span.size());
            uint8_t block = span.bytes()[1];
            if (block == uint8_t(lastAccepted + 1)) {
                stored.insert(stored.end(), span.bytes() + 3, span.bytes() + 131);
                lastAccepted = block;
                tries = 0;
            } else if (block != lastAccepted) {
                violation("ACK for block %d after block %d", block, lastAccepted);
            } else if (++tries > kBlockBudget) {
                violation("a repeat acknowledged as answer %u for one block", tries);
            }
            rejections = 0;
        } else if (write[0] == NAK) {
            if (++rejections > kRejectionLimit) violation("NAK number %u in a row", rejections);
            if (++tries > kBlockBudget) violation("NAK number %u for one block", tries);
            if (span.empty() && atMs - span.since < kHeaderSilenceMs)
                violation("NAK after only %llu ms of silence", (unsigned long long)(atMs - span.since));
            if (span.promptPacket()) violation("NAK for a well-formed packet that came without a stall");
        } else {
            violation("an answer byte 0x%02x", write[0]);
        }
    }

    void end(const Span& span, int result, uint64_t nowMs) {
        if (result == 1) {
            if (!eotAnswered || !span.empty()) violation("result 1 without a final EOT");
            return;
        }
        if (result != 0) violation("result %d", result);
        if (eotAnswered) violation("result 0 after answering EOT");
        if (!span.empty() && span.bytes()[0] == EOT) violation("EOT read and left unanswered");
        if (span.cancel()) return;
        // A gap in the read times does not prove that the receiver broke off
        // (a read runs up to 1.36 s before its stall test), so an out-of-
        // sequence packet ends the call whatever its timing.
        if (span.size() == kPacketLength && wellFormed(span.bytes())) {
            uint8_t block = span.bytes()[1];
            if (block != lastAccepted && block != uint8_t(lastAccepted + 1)) return;
        }
        const bool nextBlock = span.promptPacket() && span.bytes()[1] == uint8_t(lastAccepted + 1);
        if (tries == kBlockBudget && !nextBlock) return;  // the block's budget is spent
        if (span.promptPacket()) violation("ended on a packet it should have answered");
        if (rejections != kRejectionLimit)
            violation("ended with 0 after %u rejections in a row", rejections);
        if (span.empty() && nowMs - span.since < kHeaderSilenceMs)
            violation("gave up after only %llu ms of silence", (unsigned long long)(nowMs - span.since));
    }
};

// Block 0 as it ends `read`, in any layout with a valid check: its name must
// end in a NUL; its size is the first field after it (spaces before it
// skipped), empty for an unknown size. False when there is no such block or
// its name or size cannot be read.
bool headerAtEnd(const Bytes& read, bool* sizeKnown, uint64_t* size) {
    for (size_t blockSize : {128, 1024}) {
        for (size_t checkLength : {1, 2}) {
            const size_t length = 3 + blockSize + checkLength;
            if (read.size() < length) continue;
            const uint8_t* p = read.data() + read.size() - length;
            const uint8_t* data = p + 3;
            if (p[0] != (blockSize == 1024 ? 0x02 : SOH) || p[1] != 0 || p[2] != 0xFF) continue;
            unsigned sum = 0;
            uint16_t crc = 0;
            for (size_t i = 0; i < blockSize; ++i) {
                sum += data[i];
                crc ^= uint16_t(data[i] << 8);
                for (int bit = 0; bit < 8; ++bit) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
            }
            const bool valid = checkLength == 1 ? data[blockSize] == uint8_t(sum)
                                                : data[blockSize] == uint8_t(crc >> 8) && data[blockSize + 1] == uint8_t(crc);
            if (!valid) continue;
            size_t at = 0;
            while (at < blockSize && data[at]) ++at;
            if (at == 0 || at == blockSize) return false;
            for (++at; at < blockSize && data[at] == ' ';) ++at;
            *sizeKnown = false;
            *size = 0;
            for (; at < blockSize && data[at] && data[at] != ' '; ++at) {
                if (data[at] < '0' || data[at] > '9' || *size > (UINT64_MAX - 9) / 10) return false;
                *sizeKnown = true;
                *size = *size * 10 + (data[at] - '0');
            }
            return true;
        }
    }
    return false;
}

// `incoming`: the line as scheduled for mode 0, before it was read.
void receiveYmodem(const w32::Arrivals& incoming, uint64_t quietAtMs) {
    unsigned port = fuzzhost::freshModuleWithPort();
    w32::Device& dev = fuzzhost::device();
    dev.incoming = incoming;
    const uint64_t deadline = quietAtMs + kMarginAfterLastArrivalMs;

    Bytes sinceWrite;
    bool refused = false, headerTaken = false, sizeKnown = false;
    uint64_t headerSize = 0;
    dev.onRead = [&](w32::Device&, const uint8_t* bytes, DWORD got) {
        if (w32::world().nowMs > deadline) violation("mode 3 still receiving at %llu ms", (unsigned long long)w32::world().nowMs);
        sinceWrite.insert(sinceWrite.end(), bytes, bytes + got);
    };
    dev.onWrite = [&](w32::Device&, const w32::Bytes& w) {
        if (refused) violation("mode 3 wrote after CAN CAN");
        static const Bytes cancel{CAN, CAN};
        static const Bytes allowed[] = {{'C'}, {NAK}, {ACK}, {ACK, 'C'}, {ACK, NAK}, cancel};
        if (std::find(std::begin(allowed), std::end(allowed), w) == std::end(allowed))
            violation("mode 3 wrote %zu bytes starting 0x%02x", w.size(), w[0]);
        refused = w == cancel;
        if (w.size() == 2 && w[0] == ACK && !headerTaken) {
            headerTaken = true;
            if (!headerAtEnd(sinceWrite, &sizeKnown, &headerSize)) violation("mode 3 took a header it could not read");
        }
        sinceWrite.clear();
    };
    char name[] = "out.bin";
    int result = ReceiveSerialFile(port, name, 3);
    dev.onWrite = nullptr;
    dev.onRead = nullptr;

    fuzzhost::Host& host = fuzzhost::host();
    if (result != 0 && result != 1) violation("mode 3 result %d", result);
    if (host.files.size() != 1 || fuzzhost::filesOpen() != 0) violation("mode 3 left its file open");
    if (!host.reports.empty()) violation("mode 3 report \"%s\" with no failure", host.reports[0].c_str());
    const Bytes& file = host.files[0].data;
    if (!headerTaken && (!file.empty() || result == 1)) violation("mode 3 stored or ended well without a header");
    if (sizeKnown && file.size() > headerSize) violation("mode 3 stored %zu bytes of %llu", file.size(), (unsigned long long)headerSize);
    if (result == 1 && sizeKnown && file.size() != headerSize)
        violation("mode 3 ended with 1 holding %zu bytes of %llu", file.size(), (unsigned long long)headerSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned port = fuzzhost::freshModuleWithPort();
    w32::Device& dev = fuzzhost::device();
    Input in{data, size};
    Line line{dev};
    schedule(in, line);
    const w32::Arrivals scheduled = dev.incoming;
    const uint64_t deadline = line.at + kMarginAfterLastArrivalMs;

    ReadLog log;
    std::vector<Answer> answers;
    dev.onWrite = [&](w32::Device& d, const w32::Bytes&) {
        answers.push_back({log.bytes.size(), w32::world().nowMs, d.writes.size() - 1});
    };
    dev.onRead = [&](w32::Device&, const uint8_t* bytes, DWORD got) {
        if (w32::world().nowMs > deadline)
            violation("still receiving at %llu ms, the line went quiet at %llu ms",
                      (unsigned long long)w32::world().nowMs, (unsigned long long)line.at);
        if (!got) return;
        log.bytes.insert(log.bytes.end(), bytes, bytes + got);
        log.reads.push_back({log.bytes.size(), w32::world().nowMs});
    };

    char name[] = "out.bin";
    int result = ReceiveSerialFile(port, name, 0);
    dev.onWrite = nullptr;
    dev.onRead = nullptr;

    fuzzhost::Host& host = fuzzhost::host();
    if (host.files.size() != 1) violation("%zu files opened", host.files.size());
    if (fuzzhost::filesOpen() != 0) violation("the file was left open");
    if (!host.reports.empty()) violation("error report \"%s\" with no failure", host.reports[0].c_str());
    auto written = [&](const Answer& a) -> const Bytes& { return dev.writes[a.write]; };
    if (answers.empty() || answers[0].readEnd != 0 || written(answers[0]) != Bytes{NAK})
        violation("the transfer did not start with a lone NAK");

    if (getenv("FUZZ_DUMP")) {
        auto dump = [](uint64_t atMs, const char* what, const uint8_t* bytes, size_t n) {
            fprintf(stderr, "%8llu %s %zu:", (unsigned long long)atMs, what, n);
            for (size_t i = 0; i < n && i < 8; ++i) fprintf(stderr, " %02x", bytes[i]);
            fprintf(stderr, "\n");
        };
        size_t r = 0, from = 0;
        for (const Answer& a : answers) {
            for (; r < log.reads.size() && log.reads[r].end <= a.readEnd; from = log.reads[r++].end)
                dump(log.reads[r].atMs, "read ", log.bytes.data() + from, log.reads[r].end - from);
            dump(a.atMs, "write", written(a).data(), written(a).size());
        }
        for (; r < log.reads.size(); from = log.reads[r++].end)
            dump(log.reads[r].atMs, "read ", log.bytes.data() + from, log.reads[r].end - from);
    }

    Model model;
    Span span{&log, 0, 0, answers[0].atMs};
    for (size_t i = 1; i < answers.size(); ++i) {
        span.end = answers[i].readEnd;
        model.answer(span, written(answers[i]), answers[i].atMs);
        span = Span{&log, span.end, span.end, answers[i].atMs};
    }
    span.end = log.bytes.size();
    model.end(span, result, w32::world().nowMs);

    const Bytes& file = host.files[0].data;
    if (file.size() % 128 != 0) violation("a file of %zu bytes", file.size());
    if (file != model.stored)
        violation("the file holds %zu bytes, the acknowledged new blocks %zu", file.size(), model.stored.size());

    receiveYmodem(scheduled, line.at);
    fuzzhost::endRun();
    return 0;
}
