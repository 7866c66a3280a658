// Fuzzes SendSerialFile: the mode, the file's size and content, the host's
// fill byte after the end of the file, and the receiver's answer to each write
// (ACK, NAK, CAN, C, noise or nothing, after a chosen delay) come from the
// fuzzer.
//
// Judged from the line alone: every write other than the EOT is a
// well-formed packet in a layout the mode sends (mode 0: 128 bytes with the
// sum; mode 1: also CRC-16; mode 2: also 1024-byte blocks), with CRC-16 only
// after a C was read and never the sum after it; each packet repeats the
// block before (in either size) or carries the next one, and a next block (or
// the EOT) only follows a wait in which an ACK was read; each block holds the
// file's bytes from where the block before it ended, padded with the host's
// fill byte in mode 0 and with 0x1A in modes 1 and 2, which never read past
// the end; mode 2 sends a 1024-byte block only while more than 896 bytes are
// left, and a 128-byte one while more are left only once a 1024-byte block
// went out three times, and then no 1024-byte block again; no block goes out
// more than 20 times, whatever the answers; EOT is a lone last
// write after all of the file, and in mode 0 result 1 comes with it and only
// with it; modes 1 and 2 send it again, at most ten times in all, until a
// wait reads an ACK before any NAK, C or CAN, and result 1 comes with such an
// EOT and only with it; the file is closed; the call ends within a bound of
// simulated time after the last byte the receiver sent.
//
// Mode 3 (YMODEM) sends block 0 first: "in.bin", NUL, the size and " 0",
// with the transfer's check, again until a wait read an ACK and a C or NAK
// behind it; only then block 1. After the data, EOT goes out at most ten
// times, and then only empty 128-byte block 0s, once an EOT was
// acknowledged (an ACK or C before any NAK or CAN). Result 1 comes with such
// an EOT and only with it. A negative size from the host sends nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_host.h"
#include "plugin/exports.h"

namespace {

using fuzzhost::delayOf;
using fuzzhost::Filler;
using fuzzhost::Input;
using fuzzhost::violation;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t SOH = 0x01, STX = 0x02, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18, SUB = 0x1A;
// With nothing more arriving, the sender gives up after the 8 s start wait
// or after 10 silent answer waits of 2 s; two minutes leave ample room.
constexpr uint64_t kMarginAfterLastArrivalMs = 2 * 60 * 1000;
constexpr unsigned kBlockBudget = 20;  // sends of one block

struct Layout {
    size_t size = 0;  // data bytes: 128 or 1024
    bool crc = false;
};

// The layout a write's length gives, if any.
bool layoutOf(const Bytes& p, Layout* layout) {
    for (size_t size : {128, 1024})
        for (bool crc : {false, true})
            if (p.size() == 3 + size + (crc ? 2 : 1)) {
                *layout = {size, crc};
                return true;
            }
    return false;
}

FUZZ_UNCOVERED bool wellFormed(const Bytes& p, const Layout& l) {
    if (p[0] != (l.size == 1024 ? STX : SOH) || p[2] != uint8_t(~p[1])) return false;
    const uint8_t* data = p.data() + 3;
    if (!l.crc) {
        unsigned sum = 0;
        for (size_t i = 0; i < l.size; ++i) sum += data[i];
        return p[3 + l.size] == uint8_t(sum);
    }
    uint16_t crc = 0;
    for (size_t i = 0; i < l.size; ++i) {
        crc ^= uint16_t(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return p[3 + l.size] == uint8_t(crc >> 8) && p[4 + l.size] == uint8_t(crc);
}

bool contains(const Bytes& bytes, uint8_t value) {
    for (uint8_t b : bytes)
        if (b == value) return true;
    return false;
}

// The receiver: one answer segment of the input for each write.
struct Receiver {
    w32::Device& dev;
    Input& in;
    bool ackWhenScriptEnds;
    bool askAfterAck = false;  // a mode 3 header or EOT: an ACK comes with a C
    uint64_t lastArrivalMs = 0;

    void arrive(const uint8_t* bytes, size_t count, uint64_t delayMs) {
        if (count == 0) return;
        dev.arrive(bytes, count, delayMs);
        lastArrivalMs = dev.incoming.lastAtMs();
    }
    void arrive(uint8_t byte, uint64_t delayMs) { arrive(&byte, 1, delayMs); }
    void arriveAck(uint64_t delayMs) {
        static const uint8_t ackAndAsk[2] = {ACK, 'C'};
        arrive(ackAndAsk, askAfterAck ? 2 : 1, delayMs);
    }

    void answer() {
        if (in.empty()) {
            if (ackWhenScriptEnds) arriveAck(0);
            return;
        }
        uint8_t kind = in.byte();
        uint64_t delay = delayOf(in.byte());
        switch (kind % 8) {
        case 0: arriveAck(delay); break;
        case 1: arrive(NAK, delay); break;
        case 2: arrive(CAN, delay); break;
        case 3: break;  // silence
        case 4: {       // any bytes at once
            size_t n = std::min<size_t>(in.byte() % 24, in.size - in.at);
            arrive(in.data + in.at, n, delay);
            in.at += n;
            break;
        }
        case 5: {  // two bytes, apart
            uint8_t first = in.byte(), second = in.byte();
            uint64_t gap = delayOf(in.byte());
            arrive(first, delay);
            arrive(second, delay + gap);
            break;
        }
        case 6: {  // a burst of noise with no control byte in it, then ACK
            Filler fill(in.byte());
            uint8_t noise[256];
            size_t n = in.byte();
            for (size_t i = 0; i < n; ++i) {
                noise[i] = fill.next();
                if (noise[i] == ACK || noise[i] == NAK || noise[i] == CAN) noise[i] = 'x';
            }
            noise[n] = ACK;
            arrive(noise, n + 1, delay);
            break;
        }
        default: {  // two control bytes in separate arrivals
            static const uint8_t controls[4] = {ACK, NAK, CAN, 'C'};
            uint8_t pick = in.byte();
            uint64_t gap = delayOf(in.byte());
            arrive(controls[pick % 4], delay);
            arrive(controls[(pick >> 2) % 4], delay + gap);
            break;
        }
        }
    }
};

// Where a block's data first differs from the file's bytes from `offset` on,
// padded with `pad` past its end; `size` when it holds them all.
FUZZ_UNCOVERED size_t firstDifference(const uint8_t* data, size_t size, const Bytes& file, size_t offset, uint8_t pad) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != (offset + i < file.size() ? file[offset + i] : pad)) return i;
    return size;
}

bool isEot(const Bytes& write) { return write.size() == 1 && write[0] == EOT; }

// Where the first of ACK, NAK, C and CAN stands in `read` from `from` on.
Bytes::const_iterator firstAnswer(const Bytes& read, Bytes::const_iterator from) {
    return std::find_if(from, read.end(), [](uint8_t b) { return b == ACK || b == NAK || b == 'C' || b == CAN; });
}

// Mode 3: an EOT is taken by an ACK or a C that comes before any NAK or CAN;
// the header by an ACK first and then a C or NAK before any CAN.
// A receiver of a batch may answer EOT with C alone: it took the file and
// asks for the next header.
bool eotAcknowledged(const Bytes& read, int mode) {
    auto first = firstAnswer(read, read.begin());
    return first != read.end() && (*first == ACK || (*first == 'C' && mode == 3));
}

bool headerAcknowledged(const Bytes& read) {
    auto first = firstAnswer(read, read.begin());
    if (first == read.end() || *first != ACK) return false;
    auto next = first + 1;
    while ((next = firstAnswer(read, next)) != read.end() && *next == ACK) ++next;
    return next != read.end() && *next != CAN;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned port = fuzzhost::freshModuleWithPort();
    w32::Device& dev = fuzzhost::device();
    fuzzhost::Host& host = fuzzhost::host();
    Input in{data, size};

    uint8_t flags = in.byte();
    const int mode = flags >> 2 & 3;
    if (mode == 3 && (flags & 16)) host.sizeAnswer = -1;
    host.padAfterEnd = in.byte();
    unsigned length = in.byte();
    length |= unsigned(in.byte()) << 8;
    // Mostly small files; now and then one long enough to wrap the block
    // number past 255.
    length %= (flags & 2) ? 40001 : 1025;
    Filler fill(uint32_t(in.byte()) | uint32_t(in.byte()) << 8);
    host.readable.resize(length);
    fill.fill(host.readable.data(), length);

    Receiver receiver{dev, in, (flags & 1) != 0};
    receiver.answer();  // what comes before the first packet: the start NAK, or not

    Bytes read;                     // all that the sender read
    std::vector<size_t> readBefore;  // how much of it, at each write
    bool dataStarted = false;
    dev.onWrite = [&](w32::Device&, const w32::Bytes& bytes) {
        readBefore.push_back(read.size());
        const bool blockZero = bytes.size() > 3 && bytes[1] == 0;
        dataStarted = dataStarted || (bytes.size() > 3 && bytes[1] != 0);
        receiver.askAfterAck = mode == 3 && (isEot(bytes) || (blockZero && !dataStarted));
        receiver.answer();
    };
    dev.onRead = [&](w32::Device&, const uint8_t* bytes, DWORD got) {
        if (w32::world().nowMs > receiver.lastArrivalMs + kMarginAfterLastArrivalMs)
            violation("still sending at %llu ms, the last answer came at %llu ms",
                      (unsigned long long)w32::world().nowMs, (unsigned long long)receiver.lastArrivalMs);
        read.insert(read.end(), bytes, bytes + got);
    };

    char name[] = "in.bin";
    int result = SendSerialFile(port, name, mode);
    dev.onWrite = nullptr;
    dev.onRead = nullptr;

    if (result != 0 && result != 1) violation("result %d", result);
    if (!host.reports.empty()) violation("error report \"%s\" with no failure", host.reports[0].c_str());
    if (fuzzhost::filesOpen() != 0) violation("the file was left open");
    if (host.files.size() > 1) violation("%zu files opened", host.files.size());

    const uint8_t pad = mode == 0 ? uint8_t(host.padAfterEnd) : SUB;
    Bytes header(128, 0);  // mode 3's block 0
    const std::string fields = std::string("in.bin", 7) + std::to_string(length) + " 0";
    std::copy(fields.begin(), fields.end(), header.begin());
    bool headerTaken = false;  // a wait after block 0 read an ACK, then a C or NAK
    bool eotTaken = false;     // a wait after an EOT read an ACK or a C
    unsigned eots = 0;
    bool ended = false;        // an end of batch went out
    const Bytes* previous = nullptr;
    if (mode != 0 && host.readsPastEnd) violation("mode %d read %d bytes past the end", mode, host.readsPastEnd);

    Bytes readSinceWrite;  // what the sender read since its previous write
    Layout current;        // of the last packet written
    size_t offset = 0;     // where in the file the last packet's block starts
    size_t blocksSent = 0;
    unsigned longWrites = 0;  // of the last block, as a 1024-byte packet
    unsigned sends = 0;       // of the last block, in either size
    bool cRead = false, crcSent = false, longGivenUp = false;
    bool eotWritten = false;
    bool anyWrite = false;
    for (size_t w = 0; w < dev.writes.size(); ++w) {
        const Bytes& write = dev.writes[w];
        readSinceWrite.assign(read.begin() + (w ? readBefore[w - 1] : 0), read.begin() + readBefore[w]);
        if (eotWritten && mode == 0) violation("a write after EOT");
        if (!anyWrite && !contains(readSinceWrite, NAK) && !(mode != 0 && contains(readSinceWrite, 'C')))
            violation("the first write came before any NAK%s", mode ? " or C" : "");
        anyWrite = true;
        cRead |= contains(readSinceWrite, 'C');
        bool acked = contains(readSinceWrite, ACK);
        if (previous && isEot(*previous)) eotTaken |= eotAcknowledged(readSinceWrite, mode);
        if (previous && previous->size() > 3 && (*previous)[1] == 0 && !blocksSent)
            headerTaken |= headerAcknowledged(readSinceWrite);
        previous = &write;

        if (mode != 0 && eotWritten) {  // only EOTs, then only ends of the batch
            Layout l;
            if (mode != 3 && !isEot(write)) violation("mode %d wrote after the EOT", mode);
            if (isEot(write)) {
                if (ended || eotTaken || ++eots > 10) violation("EOT number %u, after its ACK or the end", eots);
            } else if (!layoutOf(write, &l) || !wellFormed(write, l) || l.size != 128 || write[1] != 0 ||
                       !std::all_of(write.begin() + 3, write.begin() + 131, [](uint8_t b) { return b == 0; })) {
                violation("after the EOT a write that is not an empty block 0");
            } else if (!eotTaken) {
                violation("the end of the batch before an EOT was acknowledged");
            } else {
                ended = true;
            }
            continue;
        }
        if (mode == 3 && !blocksSent && write.size() > 3 && write[1] == 0) {  // the header
            Layout l;
            if (!layoutOf(write, &l) || !wellFormed(write, l) || l.size != 128 ||
                !std::equal(header.begin(), header.end(), write.begin() + 3))
                violation("block 0 is not the header");
            if (l.crc && !cRead) violation("CRC-16 before any C");
            if (crcSent && !l.crc) violation("the sum after CRC-16");
            crcSent |= l.crc;
            continue;
        }
        if (mode == 3 && !blocksSent && !headerTaken) violation("data or EOT before the header was taken");

        if (write.size() == 1 && write[0] == EOT) {
            size_t end = blocksSent ? offset + current.size : 0;
            if (end < length) violation("EOT after %zu of %u bytes", end, length);
            if (blocksSent > 0 && !acked) violation("EOT without an ACK for the last block");
            eotWritten = true;
            eots = 1;
            continue;
        }
        Layout l;
        if (!layoutOf(write, &l)) violation("a write of %zu bytes", write.size());
        if (!wellFormed(write, l)) violation("a malformed packet");
        if ((l.crc && mode == 0) || (l.size == 1024 && mode < 2)) violation("mode %d sent a %zu-byte block%s", mode, l.size, l.crc ? " with CRC" : "");
        if (l.crc && !cRead) violation("CRC-16 before any C");
        if (crcSent && !l.crc) violation("the sum after CRC-16");
        crcSent |= l.crc;

        uint8_t block = write[1];
        bool again = blocksSent > 0 && block == uint8_t(blocksSent);
        if (!again) {
            if (block != uint8_t(blocksSent + 1)) violation("block %d after %zu blocks", block, blocksSent);
            if (blocksSent > 0 && !acked) violation("block %d without an ACK for the one before", block);
            if (blocksSent > 0) offset += current.size;
            if (offset >= length) violation("block %d past the end of the file", block);
            ++blocksSent;
            longWrites = 0;
            sends = 0;
        }
        if (++sends > kBlockBudget) violation("block %d sent %u times", block, sends);
        size_t left = length - offset;
        if (l.size == 1024) {
            if (longGivenUp) violation("a 1024-byte block after 128-byte ones took over");
            if (left <= 896) violation("a 1024-byte block with %zu bytes left", left);
            ++longWrites;
        } else if (mode >= 2 && left > 896 && !longGivenUp) {
            if (!again || current.size != 1024 || longWrites < 3)
                violation("a 128-byte block with %zu bytes left, after %u tries of a 1024-byte one", left, longWrites);
            longGivenUp = true;
        }
        size_t wrong = firstDifference(write.data() + 3, l.size, host.readable, offset, pad);
        if (wrong < l.size) violation("block %zu does not hold the file's bytes at %zu", blocksSent, wrong);
        current = l;
    }

    readSinceWrite.assign(read.begin() + (readBefore.empty() ? 0 : readBefore.back()), read.end());
    if (previous && isEot(*previous)) eotTaken |= eotAcknowledged(readSinceWrite, mode);
    if (mode != 0) {
        if ((result == 1) != eotTaken) violation("result %d, EOT %sacknowledged", result, eotTaken ? "" : "not ");
    } else if ((result == 1) != eotWritten) {
        violation("result %d, EOT %s", result, eotWritten ? "written" : "not written");
    }
    if (anyWrite && host.files.size() != 1) violation("sent without opening the file");
    if (host.sizeAnswer == -1) {
        if (anyWrite) violation("sent with a negative size");
    } else if (!anyWrite && !host.files.empty()) {
        violation("the file was opened and nothing sent");
    }
    fuzzhost::endRun();
    return 0;
}
