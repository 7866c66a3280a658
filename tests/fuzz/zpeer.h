// The far end of a ZMODEM line, for the unit tests and the fuzz targets:
// frames put together with the module's encoders, and the module's writes
// read back with its frame reader (both tested and fuzzed on their own).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// Reads one side's bytes as they were written, write by write.
struct Decoder {
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
            if (e.kind == EventKind::Header && carriesSubpackets(e.header.type))
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

inline Bytes cans(size_t count) { return Bytes(count, CAN); }

}  // namespace zpeer
