// The far end of a ZMODEM line, for the unit tests and the fuzz targets:
// frames put together with the module's encoders, and the module's writes
// read back with its frame reader (both tested and fuzzed on their own).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "win32_double.h"
#include "zmodem/frame.h"
#include "zmodem/frame_reader.h"

namespace zpeer {

using Bytes = std::vector<uint8_t>;
using namespace zmodem;

// One thing read off the line: a header, or a subpacket (good or bad).
struct Item {
    EventKind kind;
    Header header;
    HeaderForm form;
    Bytes data;
    uint8_t end;
};

// Reads one side's bytes as they were written, write by write. A sender's
// reader takes headers only (`subpackets` false): it reads no frame's data.
struct Decoder {
    bool subpackets = true;
    std::unique_ptr<Reader> reader{new Reader()};
    Bytes held;  // the reader points into it until it has given every event

    std::vector<Item> take(const uint8_t* bytes, size_t length) {
        held.assign(bytes, bytes + length);
        feed(*reader, held.data(), held.size());
        std::vector<Item> items;
        Event e;
        while (nextEvent(*reader, e)) {
            if (e.kind == EventKind::Garbage) continue;
            items.push_back({e.kind, e.header, e.form, Bytes(e.data, e.data + (e.data ? e.length : 0)), e.end});
            if (subpackets && e.kind == EventKind::Header && carriesSubpackets(e.header.type))
                expectSubpackets(*reader, crcKindOf(e.form));
        }
        return items;
    }
    std::vector<Item> take(const Bytes& bytes) { return take(bytes.data(), bytes.size()); }
};

// Frames as the peer sends them.
struct Encoder {
    EscapeState escape;
    CrcKind crc = CrcKind::Crc32;

    Bytes hex(const Header& header) { return put(encodeHexHeader(header, escape, buffer(kHeaderMax))); }
    Bytes bin(const Header& header) {
        return put(encodeBinaryHeader(header, crc, escape, buffer(kHeaderMax)));
    }
    Bytes subpacket(const uint8_t* data, size_t length, uint8_t end) {
        return put(encodeSubpacket(data, length, end, crc, escape, buffer(subpacketMax(length))));
    }
    Bytes subpacket(const Bytes& data, uint8_t end) { return subpacket(data.data(), data.size(), end); }
    Bytes fileOffer(const std::string& info) {
        Bytes out = bin(flagsHeader(ZFILE, ZCBIN));
        Bytes sub = subpacket(reinterpret_cast<const uint8_t*>(info.data()), info.size(), ZCRCW);
        out.insert(out.end(), sub.begin(), sub.end());
        return out;
    }

private:
    Bytes scratch;
    uint8_t* buffer(size_t room) {
        scratch.resize(room);
        return scratch.data();
    }
    Bytes put(size_t length) { return Bytes(scratch.begin(), scratch.begin() + long(length)); }
};

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

inline Bytes cans(size_t count) { return Bytes(count, CAN); }

// With FUZZ_DUMP set, a read or write and its time on stderr.
inline void dump(const char* what, const uint8_t* bytes, size_t length) {
    static const bool on = getenv("FUZZ_DUMP") != nullptr;
    if (!on || length == 0) return;
    fprintf(stderr, "%8llu %s %4zu:", (unsigned long long)w32::world().nowMs, what, length);
    for (size_t i = 0; i < length && i < 24; ++i) fprintf(stderr, " %02x", bytes[i]);
    fprintf(stderr, length > 24 ? " ...\n" : "\n");
}

inline std::vector<uint8_t> typesOf(const std::vector<Item>& items) {
    std::vector<uint8_t> types;
    for (const Item& it : items)
        if (it.kind == EventKind::Header && (types.empty() || types.back() != it.header.type))
            types.push_back(it.header.type);
    return types;
}

// A receiver that answers as rz does and keeps what each data frame carries
// at its position; `twist` adds a test's own answers after each write.
struct ReceiverPeer {
    uint8_t flags = CANFDX | CANOVIO | CANFC32;
    uint16_t buffer = 0;
    uint32_t start = 0;  // its answer to ZFILE
    bool mute = false;   // answers nothing but ZRQINIT
    bool absent = false;
    bool expectInfo = false;
    Decoder decoder;
    Encoder encoder;
    std::vector<Item> items;
    std::string info;
    uint8_t fileOption = 0;
    Bytes file;
    uint32_t dataAt = 0;
    std::function<Bytes(ReceiverPeer&)> twist;

    Bytes answer(const uint8_t* written, size_t length) {
        if (absent) return {};
        Bytes reply;
        const Header zrinit = flagsHeader(ZRINIT, flags, 0, uint8_t(buffer >> 8), uint8_t(buffer));
        for (Item& it : decoder.take(written, length)) {
            items.push_back(it);
            const uint32_t at = positionOf(it.header);
            if (it.kind == EventKind::Subpacket && expectInfo) {
                expectInfo = false;
                info.assign(it.data.begin(), it.data.end());
                if (!mute) reply = reply + encoder.hex(positionHeader(ZRPOS, start));
            } else if (it.kind == EventKind::Subpacket) {
                if (dataAt <= file.size()) {
                    file.resize(dataAt);
                    file.insert(file.end(), it.data.begin(), it.data.end());
                }
                dataAt += uint32_t(it.data.size());
                if (it.end == ZCRCQ || it.end == ZCRCW) reply = reply + encoder.hex(positionHeader(ZACK, dataAt));
            } else if (it.kind == EventKind::Header) {
                if (it.header.type == ZRQINIT) reply = reply + encoder.hex(zrinit);
                if (it.header.type == ZFILE) fileOption = it.header.bytes[ZF0], expectInfo = true;
                if (it.header.type == ZDATA) dataAt = at;
                if (it.header.type == ZEOF && at == file.size() && !mute) reply = reply + encoder.hex(zrinit);
                if (it.header.type == ZFIN) reply = reply + encoder.hex(flagsHeader(ZFIN, 0));
            }
        }
        if (twist) reply = reply + twist(*this);
        return reply;
    }
};

// A sender that answers as sz does: the whole rest of the file from each
// ZRPOS, then ZEOF; ZFIN after the file, "OO" and a prompt after ours.
struct SenderPeer {
    Bytes data;
    std::string info;
    size_t sub = 1024;
    int damaged = -1;  // this subpacket of the session goes out with a bit flipped
    bool secondFile = false;
    Decoder decoder;
    Encoder encoder;
    std::vector<Item> asked;
    int sent = 0;
    bool offered = false, ended = false;
    std::function<Bytes(SenderPeer&, const Item&)> twist;  // answers in place of the usual ones

    Bytes frame(uint32_t at) {
        Bytes out = at < data.size() ? encoder.bin(positionHeader(ZDATA, at)) : Bytes();
        for (size_t from = at; from < data.size(); from += sub) {
            const size_t n = std::min(sub, data.size() - from);
            const size_t start = out.size();
            append(out, encoder.subpacket(data.data() + from, n,
                                          from + n == data.size() ? ZCRCE : sent % 4 == 3 ? ZCRCQ : ZCRCG));
            if (sent++ == damaged) out[(start + out.size()) / 2] ^= 0x04;
        }
        ended = true;
        append(out, encoder.bin(positionHeader(ZEOF, uint32_t(data.size()))));
        return out;
    }

    Bytes answer(const uint8_t* written, size_t length) {
        Bytes reply;
        for (Item& it : decoder.take(written, length)) {
            if (it.kind != EventKind::Header) continue;
            asked.push_back(it);
            if (twist) {
                reply = reply + twist(*this, it);
                continue;
            }
            switch (it.header.type) {
            case ZRINIT:
                if (!offered) reply = reply + encoder.fileOffer(info);
                else if (ended && secondFile) reply = reply + encoder.fileOffer(std::string("two\0" "5 0", 7));
                else if (ended) reply = reply + encoder.hex(flagsHeader(ZFIN, 0));
                offered = true;
                secondFile = secondFile && !ended;
                break;
            case ZSKIP: reply = reply + encoder.hex(flagsHeader(ZFIN, 0)); break;
            case ZRPOS: append(reply, frame(positionOf(it.header))); break;
            case ZFIN: reply = reply + Bytes{'O', 'O', '$', ' '}; break;
            default: break;
            }
        }
        return reply;
    }
};

}  // namespace zpeer
