// Fuzzes SendSerialFile in modes 4 and 5: the file's size and content, what
// the host says its size is, a device call that fails, and the receiver's
// answer to each write come from the fuzzer; once the input ends, the
// receiver does its part, or (now and then) falls silent. An answer is what a receiver
// doing its part would say (zpeer::ReceiverPeer), or that damaged or doubled,
// or a header, a ZRPOS or ZACK at a position that matters, noise, CANs or
// silence, each after a chosen delay.
//
// Judged from the line: every subpacket of a data frame holds the file's
// bytes at its position, within the announced size; the file header names
// "in.bin" with that size; ZEOF says it; nothing is written after the
// sender's own abort (eight CANs, eight backspaces) nor after it read the
// receiver's (five CANs); the result is 1 only when a ZRINIT was read after a
// ZEOF went out; the call ends within a bound of simulated time after the
// receiver's last byte; every file it opened is closed; at most one error
// report, only for a failed device call, and then the result is 0.
#include <algorithm>
#include <string>

#include "fuzz_host.h"
#include "plugin/exports.h"
#include "zpeer.h"

namespace {

using fuzzhost::Input;
using fuzzhost::violation;
using namespace zpeer;

// A silent receiver is given up on within a few answer waits (each 5 s and
// twice the wire time of what is in flight) and the ZFIN exchange.
constexpr uint64_t kMarginMs = 5 * 60 * 1000;

Bytes fuzzAnswer(Input& in, ReceiverPeer& peer, const Bytes& good, uint32_t size) {
    switch (in.byte() % 10) {
    case 0:
    case 1:
    case 2: return good;
    case 3: return {};
    case 4: {
        const Header h{uint8_t(in.byte() % 20), {in.byte(), in.byte(), in.byte(), in.byte()}};
        const uint8_t form = in.byte() % 3;
        peer.encoder.crc = form == 2 ? CrcKind::Crc32 : CrcKind::Crc16;
        return good + (form == 0 ? peer.encoder.hex(h) : peer.encoder.bin(h));
    }
    case 5: {
        const uint8_t pick = in.byte();
        const uint32_t past = size + 1u + in.byte();
        uint32_t anywhere = in.byte();
        anywhere = anywhere << 8 | in.byte();
        const uint32_t positions[] = {0, peer.dataAt, uint32_t(peer.file.size()), size, past, anywhere};
        return peer.encoder.hex(positionHeader(pick & 1 ? ZACK : ZRPOS, positions[(pick >> 1) % 6]));
    }
    case 6: {
        Bytes noise;
        for (size_t n = in.byte() % 32; n > 0 && !in.empty(); --n) noise.push_back(in.byte());
        return noise;
    }
    case 7: {
        Bytes run = cans(1 + in.byte() % 8);
        if (in.byte() & 1) run.insert(run.begin() + 1, XON);  // flow control inside the run changes nothing
        return good + run;
    }
    case 8: {
        Bytes damaged = good;
        const size_t at = in.byte();
        if (!damaged.empty()) damaged[at % damaged.size()] ^= uint8_t(1 << (in.byte() % 8));
        return damaged;
    }
    default: return good + good;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned port = fuzzhost::freshModuleWithPort();
    w32::Device& dev = fuzzhost::device();
    fuzzhost::Host& host = fuzzhost::host();
    Input in{data, size};

    const uint8_t flags = in.byte();
    const int mode = flags & 1 ? 5 : 4;
    unsigned length = in.byte();
    length |= unsigned(in.byte()) << 8;
    // Small (each byte costs two host calls and the peer's decoding), and
    // a third of them past the 4 KiB the fuzz build's sender keeps for going back.
    length %= 6001;
    fuzzhost::Filler fill(in.byte());
    host.readable.resize(length);
    for (uint8_t& b : host.readable) b = fill.next();
    if (flags & 4) host.sizeAnswer = int(in.byte()) * 37 - 1;  // the host's size, right or wrong
    const uint32_t announced = host.sizeAnswer >= -1 ? uint32_t(host.sizeAnswer) : length;
    const uint8_t fault = in.byte();
    w32::Fault* faults[] = {&dev.write, &dev.read, &dev.clearError};
    const bool injected = fault % 8 < 3;
    if (injected) {
        faults[fault % 8]->onCall = 1 + in.byte() % 64;
        faults[fault % 8]->sticky = (fault & 8) != 0;
    }

    ReceiverPeer peer;
    const uint8_t caps = in.byte();
    peer.flags = uint8_t(CANFDX | CANOVIO | (caps & 1 ? CANFC32 : 0) | (caps & 2 ? ESCCTL : 0));
    peer.buffer = caps & 4 ? uint16_t(caps * 16) : 0;
    peer.start = mode == 5 && (caps & 8) ? std::min<uint32_t>(announced, uint32_t(in.byte()) * 97) : 0;
    if (peer.start) peer.file.assign(host.readable.begin(), host.readable.begin() + std::min<size_t>(peer.start, length));

    uint64_t lastArrival = 0;
    auto arrive = [&](const Bytes& bytes, uint64_t delay) {
        if (bytes.empty()) return;
        dev.arrive(bytes, delay);
        lastArrival = dev.incoming.lastAtMs();
    };
    const Bytes abortSequence = cans(8) + Bytes(8, 0x08);
    bool abortWritten = false, abortRead = false, eofOut = false, ackAfterEof = false;
    size_t canRun = 0;
    Decoder readBack;  // what the sender read
    readBack.subpackets = false;
    dev.onWrite = [&](w32::Device&, const Bytes& w) {
        if (abortWritten) violation("a write after the sender's abort");
        if (abortRead) violation("a write after the sender read the receiver's abort");
        abortWritten = w == abortSequence;
        dump("write", w.data(), w.size());
        const size_t before = peer.items.size();
        const Bytes good = peer.answer(w.data(), w.size());
        for (size_t i = before; i < peer.items.size(); ++i)
            eofOut |= peer.items[i].kind == EventKind::Header && peer.items[i].header.type == ZEOF;
        if (in.empty()) {
            if ((flags & 0x18) != 0x10) arrive(good, 5);
        } else {
            const Bytes answer = fuzzAnswer(in, peer, good, announced);
            arrive(answer, fuzzhost::delayOf(in.byte()));
        }
    };
    dev.onRead = [&](w32::Device&, const uint8_t* bytes, DWORD got) {
        if (w32::world().nowMs > lastArrival + kMarginMs)
            violation("still sending at %llu ms, the receiver's last byte came at %llu ms",
                      (unsigned long long)w32::world().nowMs, (unsigned long long)lastArrival);
        dump("read ", bytes, got);
        for (DWORD i = 0; i < got; ++i) {
            if ((bytes[i] & 0x7F) == XON || (bytes[i] & 0x7F) == XOFF) continue;
            canRun = bytes[i] == CAN ? canRun + 1 : 0;
            abortRead |= canRun >= 5;
        }
        for (const Item& it : readBack.take(bytes, got))
            ackAfterEof |= eofOut && it.kind == EventKind::Header && it.header.type == ZRINIT;
    };

    char name[] = "in.bin";
    const int result = SendSerialFile(port, name, mode);
    dev.onWrite = nullptr;
    dev.onRead = nullptr;

    if (result != 0 && result != 1) violation("result %d", result);
    if (fuzzhost::filesOpen() != 0) violation("a file was left open");
    if (host.reports.size() > 1) violation("%zu error reports", host.reports.size());
    if (!host.reports.empty() && (!injected || result != 0))
        violation("error report \"%s\" with result %d and no failed call", host.reports[0].c_str(), result);
    if (result == 1 && !ackAfterEof) violation("result 1 without a ZRINIT read after ZEOF");

    const std::string info = "in.bin" + std::string(1, '\0') + std::to_string(announced) + " 0" + std::string(1, '\0');
    bool inData = false, inInfo = false;
    uint64_t at = 0;
    for (const Item& it : peer.items) {
        if (it.kind == EventKind::Header) {
            inInfo = it.header.type == ZFILE;
            inData = it.header.type == ZDATA;
            at = positionOf(it.header);
            if ((it.header.type == ZEOF && at != announced) || (inData && at > announced))
                violation("header %d at %llu, the size being %u", it.header.type, (unsigned long long)at, announced);
        } else if (it.kind == EventKind::Subpacket && inInfo) {
            if (std::string(it.data.begin(), it.data.end()) != info) violation("a file header that is not in.bin's");
            inInfo = false;
        } else if (it.kind == EventKind::Subpacket && inData) {
            if (at + it.data.size() > std::min<uint64_t>(announced, length) ||
                !std::equal(it.data.begin(), it.data.end(), host.readable.begin() + long(at)))
                violation("a subpacket at %llu that is not the file's bytes there", (unsigned long long)at);
            at += it.data.size();
            inData = it.end == ZCRCG || it.end == ZCRCQ;
        } else {
            inData = inInfo = false;
        }
    }
    fuzzhost::endRun();
    return 0;
}
