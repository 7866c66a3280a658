// Fuzzes SendSerialFile: the file's size and content, the host's fill byte
// after the end of the file, and the receiver's answer to each write (ACK,
// NAK, CAN, noise or nothing, after a chosen delay) come from the fuzzer.
//
// Judged from the line alone: every 132-byte write is a well-formed packet;
// each packet repeats the one before or carries the next block, and a next
// block (or the EOT) only follows a wait in which an ACK was read; the data
// of the blocks in the order they were first sent are the file padded with
// the fill byte; EOT is a lone last write after all blocks, and result 1
// comes with it and only with it; the file is closed; the call ends within a
// bound of simulated time after the last byte the receiver sent.
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

constexpr uint8_t SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;
constexpr size_t kPacketLength = 132;
constexpr size_t kBlockSize = 128;
// With nothing more arriving, the sender gives up after the 8 s start wait
// or after 10 silent answer waits of 2 s; two minutes leave ample room.
constexpr uint64_t kMarginAfterLastArrivalMs = 2 * 60 * 1000;

bool wellFormed(const Bytes& p) {
    unsigned sum = 0;
    for (size_t i = 0; i < 131; ++i) sum += p[i];
    return p.size() == kPacketLength && p[0] == SOH && p[2] == uint8_t(~p[1]) && p[131] == uint8_t(sum);
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
    uint64_t lastArrivalMs = 0;

    void arrive(const Bytes& bytes, uint64_t delayMs) {
        if (bytes.empty()) return;
        dev.arrive(bytes, delayMs);
        lastArrivalMs = dev.incoming.back().atMs;
    }

    void answer() {
        if (in.empty()) {
            if (ackWhenScriptEnds) arrive(Bytes{ACK}, 0);
            return;
        }
        uint8_t kind = in.byte();
        uint64_t delay = delayOf(in.byte());
        switch (kind % 8) {
        case 0: arrive(Bytes{ACK}, delay); break;
        case 1: arrive(Bytes{NAK}, delay); break;
        case 2: arrive(Bytes{CAN}, delay); break;
        case 3: break;  // silence
        case 4: {       // any bytes at once
            Bytes raw;
            for (size_t n = in.byte() % 24; n > 0 && !in.empty(); --n) raw.push_back(in.byte());
            arrive(raw, delay);
            break;
        }
        case 5: {  // two bytes, apart
            uint8_t first = in.byte(), second = in.byte();
            uint64_t gap = delayOf(in.byte());
            arrive(Bytes{first}, delay);
            arrive(Bytes{second}, delay + gap);
            break;
        }
        case 6: {  // a burst of noise with no control byte in it, then ACK
            Filler fill(in.byte());
            Bytes noise(in.byte());
            for (uint8_t& b : noise) {
                b = fill.next();
                if (b == ACK || b == NAK || b == CAN) b = 'x';
            }
            noise.push_back(ACK);
            arrive(noise, delay);
            break;
        }
        default: {  // two control bytes in separate arrivals
            static const uint8_t controls[4] = {ACK, NAK, CAN, 'C'};
            uint8_t pick = in.byte();
            uint64_t gap = delayOf(in.byte());
            arrive(Bytes{controls[pick % 4]}, delay);
            arrive(Bytes{controls[(pick >> 2) % 4]}, delay + gap);
            break;
        }
        }
    }
};

struct Event {
    bool isWrite;
    Bytes bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    unsigned port = fuzzhost::freshModuleWithPort();
    w32::Device& dev = fuzzhost::device();
    fuzzhost::Host& host = fuzzhost::host();
    Input in{data, size};

    uint8_t flags = in.byte();
    host.padAfterEnd = in.byte();
    unsigned length = in.byte();
    length |= unsigned(in.byte()) << 8;
    // Mostly small files; now and then one long enough to wrap the block
    // number past 255.
    length %= (flags & 2) ? 40001 : 1025;
    Filler fill(uint32_t(in.byte()) | uint32_t(in.byte()) << 8);
    host.readable.resize(length);
    for (uint8_t& b : host.readable) b = fill.next();

    Receiver receiver{dev, in, (flags & 1) != 0};
    receiver.answer();  // what comes before the first packet: the start NAK, or not

    std::vector<Event> events;
    dev.onWrite = [&](w32::Device&, const w32::Bytes& bytes) {
        events.push_back({true, bytes});
        receiver.answer();
    };
    dev.onRead = [&](w32::Device&, const uint8_t* bytes, DWORD got) {
        if (w32::world().nowMs > receiver.lastArrivalMs + kMarginAfterLastArrivalMs)
            violation("still sending at %llu ms, the last answer came at %llu ms",
                      (unsigned long long)w32::world().nowMs, (unsigned long long)receiver.lastArrivalMs);
        if (got) events.push_back({false, Bytes(bytes, bytes + got)});
    };

    char name[] = "in.bin";
    int result = SendSerialFile(port, name, 0);
    dev.onWrite = nullptr;
    dev.onRead = nullptr;

    if (result != 0 && result != 1) violation("result %d", result);
    if (!host.reports.empty()) violation("error report \"%s\" with no failure", host.reports[0].c_str());
    if (fuzzhost::filesOpen() != 0) violation("the file was left open");
    if (host.files.size() > 1) violation("%zu files opened", host.files.size());

    Bytes padded = host.readable;
    padded.resize((length + kBlockSize - 1) / kBlockSize * kBlockSize, uint8_t(host.padAfterEnd));
    const size_t blocksInFile = padded.size() / kBlockSize;

    Bytes readSinceWrite;  // what the sender read since its previous write
    Bytes previous;        // the last packet written
    size_t blocksSent = 0;
    bool eotWritten = false;
    bool anyWrite = false;
    for (const Event& e : events) {
        if (!e.isWrite) {
            readSinceWrite.insert(readSinceWrite.end(), e.bytes.begin(), e.bytes.end());
            continue;
        }
        if (eotWritten) violation("a write after EOT");
        if (!anyWrite && !contains(readSinceWrite, NAK)) violation("the first write came before any NAK");
        anyWrite = true;
        bool acked = contains(readSinceWrite, ACK);
        readSinceWrite.clear();

        if (e.bytes.size() == 1 && e.bytes[0] == EOT) {
            if (blocksSent != blocksInFile)
                violation("EOT after %zu of %zu blocks", blocksSent, blocksInFile);
            if (blocksSent > 0 && !acked) violation("EOT without an ACK for the last block");
            eotWritten = true;
            continue;
        }
        if (e.bytes.size() != kPacketLength) violation("a write of %zu bytes", e.bytes.size());
        if (!wellFormed(e.bytes)) violation("a malformed packet");
        if (e.bytes == previous) continue;  // sent again

        uint8_t block = e.bytes[1];
        if (block != uint8_t(blocksSent + 1)) violation("block %d after %zu blocks", block, blocksSent);
        if (blocksSent > 0 && !acked) violation("block %d without an ACK for the one before", block);
        if (blocksSent >= blocksInFile) violation("block %d past the end of the file", block);
        if (!std::equal(e.bytes.begin() + 3, e.bytes.begin() + 131, padded.begin() + blocksSent * kBlockSize))
            violation("block %zu does not hold the file's bytes", blocksSent + 1);
        ++blocksSent;
        previous = e.bytes;
    }

    if ((result == 1) != eotWritten) violation("result %d, EOT %s", result, eotWritten ? "written" : "not written");
    if (anyWrite && host.files.size() != 1) violation("sent without opening the file");
    if (!anyWrite && !host.files.empty()) violation("the file was opened and nothing sent");
    return 0;
}
