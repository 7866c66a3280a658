// Fuzzes ReceiveSerialFile in mode 4: the file and its size (announced or
// not), a device call that fails, and the sender's answer to each write come
// from the fuzzer; once the input ends, the sender does its part, or (now
// and then) falls silent. An answer is what a sender doing its part would send
// (zpeer::SenderPeer: the rest of the file from each ZRPOS, then ZEOF), or
// that damaged, or data frames at chosen positions with subpackets of chosen
// lengths and ends, a ZEOF anywhere, headers of any type, a file header good
// or bad, noise, CANs or silence, each after a chosen delay. Every good
// subpacket the fuzzer puts in a data frame holds the file's bytes at its
// position.
//
// Judged: the stored file holds the file's bytes at their positions, and no
// more than good subpackets covered from the start; the result is 1 only
// with exactly the announced size stored (or, unannounced, a size some ZEOF
// gave); the receiver writes hex headers only (ZRPOS at what it stored, ZACK
// within it) or its abort, and nothing after that abort nor after it read
// the sender's (five CANs); the call ends within a bound of simulated time
// after the sender's last byte; the file is closed; at most one error report,
// only for a failed device call, and then the result is 0.
#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "fuzz_host.h"
#include "plugin/exports.h"
#include "zpeer.h"

namespace {

using fuzzhost::Input;
using fuzzhost::violation;
using namespace zpeer;

// After the sender's last byte: ZRPOS every 3 s, 16 times, or the 60 s stall
// bound; before any file, 110 s from the start.
constexpr uint64_t kMarginMs = 2 * 60 * 1000;

struct Line {
    SenderPeer& peer;
    const Bytes& content;  // the file, and more of the same beyond its end
    std::vector<std::pair<uint64_t, uint64_t>> covered;  // by good subpackets in data frames
    std::set<uint32_t> eofs;

    // A data frame from `at`: `count` subpackets of `length` bytes, the last
    // ending as `last` says.
    Bytes frame(uint32_t at, size_t count, size_t length, uint8_t last) {
        Bytes out = peer.encoder.bin(positionHeader(ZDATA, at));
        for (size_t i = 0; i < count && at + length <= content.size(); ++i, at += uint32_t(length)) {
            const uint8_t end = i + 1 < count ? ZCRCG : uint8_t(ZCRCE + last % 4);
            append(out, peer.encoder.subpacket(content.data() + at, length, end));
            covered.push_back({at, at + length});
        }
        return out;
    }

    Bytes eof(uint32_t at) {
        eofs.insert(at);
        return peer.encoder.bin(positionHeader(ZEOF, at));
    }

    Bytes answer(Input& in, const Bytes& good, uint32_t stored) {
        switch (in.byte() % 12) {
        case 0:
        case 1:
        case 2:
        case 3: return good;
        case 4: return {};
        case 5: {
            const uint8_t pick = in.byte();
            const uint32_t starts[] = {0, stored, stored - std::min<uint32_t>(stored, in.byte()), stored + in.byte()};
            const size_t count = 1 + in.byte() % 8;
            const size_t length = 1 + size_t(in.byte()) * 33 % kMaxSubpacket;
            return frame(starts[pick % 4], count, length, pick >> 2);
        }
        case 6: {
            const uint32_t ats[] = {uint32_t(peer.data.size()), stored, uint32_t(in.byte()) << 8};
            return eof(ats[in.byte() % 3]);
        }
        case 7: {
            const Header h{uint8_t(in.byte() % 20), {in.byte(), in.byte(), in.byte(), in.byte()}};
            if (h.type == ZEOF) eofs.insert(positionOf(h));
            return in.byte() & 1 ? peer.encoder.hex(h) : peer.encoder.bin(h);
        }
        case 8: {
            static const char* const infos[] = {"in.bin", "in.bin\0x12 0", "other\0" "7 0"};
            const uint8_t pick = in.byte() % 4;
            static const size_t lengths[] = {6, 12, 9};
            return peer.encoder.fileOffer(pick < 3 ? std::string(infos[pick], lengths[pick]) : peer.info);
        }
        case 9: {  // noise with no ZDLE in it, so that it makes no frame
            Bytes noise;
            for (size_t n = in.byte() % 32; n > 0 && !in.empty(); --n) {
                const uint8_t b = in.byte();
                noise.push_back(b == CAN ? 'x' : b);
            }
            return noise;
        }
        case 10: return cans(1 + in.byte() % 8);
        default: {
            Bytes damaged = good;
            const size_t at = in.byte();
            if (!damaged.empty()) damaged[at % damaged.size()] ^= uint8_t(1 << (in.byte() % 8));
            return damaged;
        }
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const unsigned port = fuzzhost::freshModuleWithPort();
    w32::Device& dev = fuzzhost::device();
    fuzzhost::Host& host = fuzzhost::host();
    Input in{data, size};

    const uint8_t flags = in.byte();
    unsigned length = in.byte();
    length |= unsigned(in.byte()) << 8;
    // Small mostly: each byte costs the peer's encoding and the receiver's
    // decoding. One input in 16 is longer, for 8 KiB subpackets.
    length %= (flags & 0xE2) == 0xE2 ? 20001 : 2001;
    fuzzhost::Filler fill(in.byte());
    Bytes content(length + kMaxSubpacket * 2);
    for (uint8_t& b : content) b = fill.next();
    const bool announced = (flags & 4) == 0;
    const uint8_t fault = in.byte();
    w32::Fault* faults[] = {&dev.write, &dev.read, &dev.clearError};
    const bool injected = fault % 8 < 3;
    if (injected) {
        faults[fault % 8]->onCall = 1 + in.byte() % 64;
        faults[fault % 8]->sticky = (fault & 8) != 0;
    }

    SenderPeer peer;
    peer.data.assign(content.begin(), content.begin() + length);
    peer.info = "in.bin" + std::string(1, '\0') + (announced ? std::to_string(length) + " 0" : "");
    peer.sub = 32u << (in.byte() % 9);
    peer.encoder.crc = flags & 8 ? CrcKind::Crc16 : CrcKind::Crc32;
    Line line{peer, content, {}, {}};
    line.eofs.insert(length);  // the peer's own ZEOF

    uint64_t lastArrival = 0;
    auto arrive = [&](const Bytes& bytes, uint64_t delay) {
        if (bytes.empty()) return;
        dev.arrive(bytes, delay);
        lastArrival = dev.incoming.lastAtMs();
    };
    auto storedNow = [&]() { return host.files.empty() ? 0u : uint32_t(host.files[0].data.size()); };
    for (size_t first = in.byte() % 3; first > 0; --first) {
        const Bytes bytes = line.answer(in, Bytes(), 0);
        arrive(bytes, fuzzhost::delayOf(in.byte()));
    }

    const Bytes abortSequence = cans(8) + Bytes(8, 0x08);
    bool abortWritten = false, abortRead = false;
    size_t canRun = 0;
    Decoder written;
    dev.onWrite = [&](w32::Device&, const Bytes& w) {
        if (abortWritten) violation("a write after the receiver's abort");
        if (abortRead) violation("a write after the receiver read the sender's abort");
        abortWritten = w == abortSequence;
        dump("write", w.data(), w.size());
        if (!abortWritten) {
            for (const Item& it : written.take(w)) {
                const uint32_t at = positionOf(it.header);
                if (it.kind != EventKind::Header || it.form != HeaderForm::Hex) violation("a write that is no hex header");
                if (it.header.type == ZRPOS && at != storedNow()) violation("ZRPOS %u with %u stored", at, storedNow());
                if (it.header.type == ZRPOS && at < length) line.covered.push_back({at, length});  // the peer's frame
                if (it.header.type == ZACK && at > storedNow() && at != 1) violation("ZACK %u with %u stored", at, storedNow());
            }
        }
        const Bytes good = peer.answer(w.data(), w.size());
        if (in.empty()) {
            if ((flags & 0x11) != 0x10) arrive(good, 5);
        } else {
            const Bytes answer = line.answer(in, good, storedNow());
            arrive(answer, fuzzhost::delayOf(in.byte()));
        }
    };
    dev.onRead = [&](w32::Device&, const uint8_t* bytes, DWORD got) {
        if (w32::world().nowMs > std::max<uint64_t>(lastArrival, 10000) + kMarginMs)
            violation("still receiving at %llu ms, the sender's last byte came at %llu ms",
                      (unsigned long long)w32::world().nowMs, (unsigned long long)lastArrival);
        dump("read ", bytes, got);
        for (DWORD i = 0; i < got; ++i) {
            if ((bytes[i] & 0x7F) == XON || (bytes[i] & 0x7F) == XOFF) continue;
            canRun = bytes[i] == CAN ? canRun + 1 : 0;
            abortRead |= canRun >= 5;
        }
    };

    char name[] = "out.bin";
    const int result = ReceiveSerialFile(port, name, 4);
    dev.onWrite = nullptr;
    dev.onRead = nullptr;

    if (result != 0 && result != 1) violation("result %d", result);
    if (host.files.size() != 1 || fuzzhost::filesOpen() != 0) violation("the file was left open, or more opened");
    if (host.reports.size() > 1) violation("%zu error reports", host.reports.size());
    if (!host.reports.empty() && (!injected || result != 0))
        violation("error report \"%s\" with result %d and no failed call", host.reports[0].c_str(), result);

    std::sort(line.covered.begin(), line.covered.end());
    uint64_t prefix = 0;
    for (const auto& span : line.covered)
        if (span.first <= prefix) prefix = std::max(prefix, span.second);
    const Bytes& stored = host.files[0].data;
    if (stored.size() > prefix) violation("%zu bytes stored, good subpackets covered %llu", stored.size(), (unsigned long long)prefix);
    if (!std::equal(stored.begin(), stored.end(), content.begin())) violation("stored bytes that are not the file's");
    if (result == 1 && (announced ? stored.size() != length : !line.eofs.count(uint32_t(stored.size()))))
        violation("result 1 with %zu bytes stored, %u announced", stored.size(), length);
    fuzzhost::endRun();
    return 0;
}
