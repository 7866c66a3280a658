// ZMODEM frames: the CRCs, bytes as lrzsz puts them on the line, the escaping
// rules byte by byte, and the reader's events for frames, whole or cut up,
// clean or damaged.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "transfer/crc.h"
#include "zmodem/frame.h"
#include "zmodem/frame_reader.h"

using namespace zmodem;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

void append(Bytes& line, const Bytes& more) { line.insert(line.end(), more.begin(), more.end()); }

Bytes operator+(Bytes line, const Bytes& more) {
    append(line, more);
    return line;
}

Bytes header(const Header& h, HeaderForm form, EscapeState& state) {
    Bytes out(kHeaderMax);
    out.resize(encodeHeader(h, form, state, out.data()));
    return out;
}

Bytes subpacket(const Bytes& data, uint8_t end, CrcKind crc, EscapeState& state) {
    Bytes out(subpacketMax(data.size()));
    out.resize(encodeSubpacket(data.data(), data.size(), end, crc, state, out.data()));
    return out;
}

// An event with what it points at copied; adjacent Garbage counts are summed.
struct Got {
    EventKind kind;
    uint8_t type;
    uint32_t position;  // Garbage: the count
    HeaderForm form;
    Bytes data;
    uint8_t end;
    Fault fault;
    bool operator==(const Got& o) const {
        return kind == o.kind && type == o.type && position == o.position && form == o.form && data == o.data &&
               end == o.end && fault == o.fault;
    }
};

std::ostream& operator<<(std::ostream& out, const Got& g) {
    return out << "{kind " << int(g.kind) << " type " << int(g.type) << " pos/len " << g.position << " form "
               << int(g.form) << " data " << g.data.size() << " end " << g.end << " fault " << int(g.fault) << "}";
}

Got got(EventKind kind, Fault fault = Fault::None, HeaderForm form = HeaderForm::Hex, Bytes data = {}, uint8_t end = 0) {
    return Got{kind, 0, 0, form, data, end, fault};
}
Got headerGot(const Header& h, HeaderForm form) {
    return Got{EventKind::Header, h.type, positionOf(h), form, {}, 0, Fault::None};
}
Got subpacketGot(const Bytes& data, uint8_t end) { return got(EventKind::Subpacket, Fault::None, HeaderForm::Hex, data, end); }
Got garbageGot(size_t count) { return Got{EventKind::Garbage, 0, uint32_t(count), HeaderForm::Hex, {}, 0, Fault::None}; }

// Feeds `line` in pieces of `piece` bytes (0: whole), answering headers as
// the engine does.
std::vector<Got> readAll(const Bytes& line, size_t piece = 0) {
    auto reader = std::make_unique<Reader>();
    std::vector<Got> got;
    for (size_t at = 0; at < line.size();) {
        size_t length = piece ? std::min(piece, line.size() - at) : line.size();
        feed(*reader, line.data() + at, length);
        at += length;
        Event e;
        while (nextEvent(*reader, e)) {
            Got g{e.kind, e.header.type, positionOf(e.header), e.form, {}, e.end, e.fault};
            if (e.kind == EventKind::Subpacket || e.kind == EventKind::BadSubpacket)
                g.data.assign(e.data, e.data + e.length);
            if (e.kind == EventKind::Garbage) g.position = uint32_t(e.length);
            if (e.kind == EventKind::Garbage && !got.empty() && got.back().kind == EventKind::Garbage)
                got.back().position += g.position;
            else
                got.push_back(g);
            if (e.kind == EventKind::Header && carriesSubpackets(e.header.type))
                expectSubpackets(*reader, crcKindOf(e.form));
        }
    }
    return got;
}

void expectReadback(const Bytes& line, const std::vector<Got>& expected) {
    for (size_t piece : {0, 1, 2, 3, 7, 13, 1000}) EXPECT_EQ(readAll(line, piece), expected) << "pieces of " << piece;
}

uint32_t slowCrc32(const Bytes& data) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320 : crc >> 1;
    }
    return ~crc;
}

}  // namespace

TEST(ZmodemCrc, CheckValuesAndPieces) {
    Bytes check = bytesOf("123456789");
    EXPECT_EQ(transfer::crc16(check.data(), check.size()), 0x31C3);
    EXPECT_EQ(transfer::crc32(check.data(), check.size()), 0xCBF43926u);
    Bytes all(1024);
    for (size_t i = 0; i < all.size(); ++i) all[i] = uint8_t(i * 7 + (i >> 8));
    uint32_t whole = transfer::crc32(all.data(), all.size());
    EXPECT_EQ(whole, slowCrc32(all)) << "every table entry";
    uint16_t whole16 = transfer::crc16(all.data(), all.size());
    for (size_t cut : {size_t(0), size_t(1), size_t(500)}) {
        uint32_t crc = transfer::crc32(all.data(), cut);
        uint16_t crc16 = transfer::crc16(all.data(), cut);
        crc = transfer::crc32Update(crc, all[cut]);
        crc16 = transfer::crc16Update(crc16, all[cut]);
        EXPECT_EQ(transfer::crc32Update(crc, all.data() + cut + 1, all.size() - cut - 1), whole) << cut;
        EXPECT_EQ(transfer::crc16Update(crc16, all.data() + cut + 1, all.size() - cut - 1), whole16) << cut;
    }
}

// Taken from rz and sz talking over a pty pair (socat -x -v).
TEST(ZmodemFrame, BytesAsLrzszSendsThem) {
    EscapeState plain, all{true, 0};
    EXPECT_EQ(header(flagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32), HeaderForm::Hex, plain),
              bytesOf("**\x18" "B0100000023be50\r\x8a\x11"));
    EXPECT_EQ(header(flagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32 | ESCCTL), HeaderForm::Hex, plain),
              bytesOf("**\x18" "B0100000063f694\r\x8a\x11"));
    EXPECT_EQ(header(positionHeader(ZFIN, 0), HeaderForm::Hex, plain), bytesOf("**\x18" "B0800000000022d\r\x8a"));

    Bytes info = bytesOf(std::string("f.bin\0" "3000 15306171076 100644 0 1 3000\0", 39));
    Bytes zfile = header(flagsHeader(ZFILE, 0), HeaderForm::Bin32, plain);
    append(zfile, subpacket(info, ZCRCW, CrcKind::Crc32, plain));
    EXPECT_EQ(zfile, bytesOf(std::string("*\x18" "C\x04\0\0\0\0\xdd\x51\xa2\x33", 12) + "f.bin" +
                             std::string("\0", 1) + "3000 15306171076 100644 0 1 3000" +
                             std::string("\0\x18k\x18Q\x1a`\xbf\x11", 9)));
    Bytes escaped = header(flagsHeader(ZFILE, 0), HeaderForm::Bin32, all);
    append(escaped, subpacket(info, ZCRCW, CrcKind::Crc32, all));
    EXPECT_EQ(escaped, bytesOf("*\x18" "C\x18" "D\x18@\x18@\x18@\x18@\xdd\x51\xa2\x33" "f.bin\x18@"
                               "3000 15306171076 100644 0 1 3000\x18@\x18k\x18Q\x18Z`\xbf\x11"));

    Bytes start = bytesOf("rz\r**\x18" "B00000000000000\r\x8a\x11");
    expectReadback(start, {garbageGot(3), headerGot(positionHeader(ZRQINIT, 0), HeaderForm::Hex)});
    expectReadback(zfile, {headerGot(flagsHeader(ZFILE, 0), HeaderForm::Bin32), subpacketGot(info, ZCRCW)});
    expectReadback(escaped, {headerGot(flagsHeader(ZFILE, 0), HeaderForm::Bin32), subpacketGot(info, ZCRCW)});
}

TEST(ZmodemFrame, EscapesEachByteByTheRules) {
    for (bool escapeAll : {false, true}) {
        for (unsigned value = 0; value < 256; ++value) {
            for (uint8_t before : {uint8_t('A'), uint8_t('@'), uint8_t(0xC0)}) {
                unsigned low = value & 0x7F;
                bool expected = low == 0x10 || low == 0x11 || low == 0x13 || value == 0x18 ||
                                (escapeAll && low < 0x20) || (low == '\r' && before != 'A');
                EscapeState state{escapeAll, 0};
                // The '@' goes in one call, the byte in the next.
                uint8_t first = before, out[4];
                escapeBytes(&first, 1, state, out);
                uint8_t byte = uint8_t(value);
                size_t n = escapeBytes(&byte, 1, state, out);
                SCOPED_TRACE(::testing::Message() << "byte " << value << " after " << int(before) << " all " << escapeAll);
                ASSERT_EQ(n, expected ? 2u : 1u);
                EXPECT_EQ(out[0], expected ? ZDLE : value);
                EXPECT_EQ(out[n - 1], expected ? (value ^ 0x40) : value);
                EXPECT_EQ(state.lastSent, out[n - 1]);
            }
        }
    }
}

TEST(ZmodemFrame, ReadsBackWhatItEncodesWhateverTheCuts) {
    Bytes every(512);
    for (size_t i = 0; i < every.size(); ++i) every[i] = uint8_t(i);
    Bytes longest(kMaxSubpacket, 0x18);
    const struct {
        bool escapeAll;
        HeaderForm form;
        std::vector<Bytes> data;
        std::vector<uint8_t> ends;
    } cases[] = {
        {false, HeaderForm::Bin32, {every, {}, bytesOf("@\r@\x8d")}, {ZCRCG, ZCRCQ, ZCRCE}},
        {true, HeaderForm::Bin32, {every, longest}, {ZCRCQ, ZCRCW}},
        {false, HeaderForm::Bin16, {every, bytesOf("x")}, {ZCRCG, ZCRCW}},
        {true, HeaderForm::Bin16, {every}, {ZCRCE}},
        {false, HeaderForm::Hex, {every}, {ZCRCW}},
        {true, HeaderForm::Hex, {every}, {ZCRCE}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "form " << int(c.form) << " all " << c.escapeAll);
        EscapeState state{c.escapeAll, 0};
        Bytes line;
        std::vector<Got> expected;
        for (uint8_t type : {ZRQINIT, ZACK, ZFIN, ZRPOS, ZEOF}) {
            Header h = positionHeader(type, 0x11800000u + type * 0x01010101u);
            append(line, header(h, c.form, state));
            expected.push_back(headerGot(h, c.form));
        }
        Header data = positionHeader(ZDATA, 0x13101810);
        append(line, header(data, c.form, state));
        expected.push_back(headerGot(data, c.form));
        for (size_t i = 0; i < c.data.size(); ++i) {
            append(line, subpacket(c.data[i], c.ends[i], crcKindOf(c.form), state));
            expected.push_back(subpacketGot(c.data[i], c.ends[i]));
        }
        append(line, header(positionHeader(ZEOF, 7), c.form, state));
        expected.push_back(headerGot(positionHeader(ZEOF, 7), c.form));
        expectReadback(line, expected);
    }
}

TEST(ZmodemFrame, DamagedAndNoisyLines) {
    EscapeState state;
    Bytes data = bytesOf("some data");
    Bytes frame = header(positionHeader(ZDATA, 5), HeaderForm::Bin16, state);
    append(frame, subpacket(data, ZCRCE, CrcKind::Crc16, state));
    Bytes eof = header(positionHeader(ZEOF, 9), HeaderForm::Bin32, state);
    const Got zdata = headerGot(positionHeader(ZDATA, 5), HeaderForm::Bin16);
    const Got zeof = headerGot(positionHeader(ZEOF, 9), HeaderForm::Bin32);

    Bytes badHeaderCrc = eof;
    badHeaderCrc[4] ^= 1;
    size_t headerLength = header(positionHeader(ZDATA, 5), HeaderForm::Bin16, state).size();
    Bytes badDataCrc = frame;
    badDataCrc[headerLength + 2] ^= 1;
    Bytes tooLong = header(positionHeader(ZDATA, 5), HeaderForm::Bin16, state);
    append(tooLong, subpacket(Bytes(kMaxSubpacket + 1, 'z'), ZCRCG, CrcKind::Crc16, state));
    size_t afterTooLong = tooLong.size() - headerLength - (kMaxSubpacket + 1);
    Bytes flow;  // XON and XOFF everywhere, a ZDLE pair split by one
    for (uint8_t b : frame) {
        flow.push_back(b);
        flow.push_back(Bytes{0x11, 0x13, 0x91, 0x93}[flow.size() % 4]);
    }
    Bytes cans = frame;  // lrzsz's abort in the middle of a subpacket
    cans.resize(frame.size() - 8);
    append(cans, Bytes(8, 0x18));
    append(cans, Bytes(8, 0x08));
    Bytes cansInCrc = frame;  // then a subpacket too long: it did not end
    cansInCrc.resize(frame.size() - 1);
    append(cansInCrc, Bytes(5, 0x18));
    Bytes fourCans = eof;
    fourCans.insert(fourCans.begin(), 4, 0x18);
    Bytes rubs;  // 0x7F and 0xFF as ZDLE ZRUB0 and ZDLE ZRUB1
    for (uint8_t b : header(positionHeader(ZDATA, 5), HeaderForm::Bin16, state) +
                         subpacket(Bytes{0x7F, 0xFF}, ZCRCE, CrcKind::Crc16, state))
        append(rubs, b == 0x7F ? Bytes{ZDLE, ZRUB0} : b == 0xFF ? Bytes{ZDLE, ZRUB1} : Bytes{b});
    Bytes upperCase = bytesOf("**\x18" "B09000000FFB68C");  // no CR, LF or XON after

    const struct {
        const char* name;
        Bytes line;
        std::vector<Got> expected;
    } cases[] = {
        {"bad header CRC", badHeaderCrc + eof, {got(EventKind::BadHeader, Fault::Crc, HeaderForm::Bin32), zeof}},
        {"bad subpacket CRC", badDataCrc + eof,
         {zdata, got(EventKind::BadSubpacket, Fault::Crc, HeaderForm::Hex, bytesOf("sole data"), ZCRCE), zeof}},
        {"too long", tooLong + eof,
         {zdata, got(EventKind::BadSubpacket, Fault::TooLong, HeaderForm::Hex, Bytes(kMaxSubpacket, 'z')),
          garbageGot(afterTooLong), zeof}},
        {"flow control", flow + eof, {zdata, subpacketGot(data, ZCRCE), zeof}},
        {"five CANs", cans + eof, {zdata, got(EventKind::Abort), garbageGot(8), zeof}},
        {"four CANs", fourCans, {garbageGot(4), zeof}},
        {"five CANs in a CRC", cansInCrc + tooLong + eof,
         {zdata, got(EventKind::Abort), zdata,
          got(EventKind::BadSubpacket, Fault::TooLong, HeaderForm::Hex, Bytes(kMaxSubpacket, 'z')),
          garbageGot(afterTooLong), zeof}},
        {"ZRUB0 and ZRUB1", rubs, {zdata, subpacketGot(Bytes{0x7F, 0xFF}, ZCRCE)}},
        {"headers cut short", bytesOf("*\x18*\x18" "B01") + eof,
         {garbageGot(2), got(EventKind::BadHeader, Fault::HexDigit), zeof}},
        {"upper case hex", upperCase + eof, {headerGot(positionHeader(ZRPOS, 0xFF000000), HeaderForm::Hex), zeof}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expectReadback(c.line, c.expected);
    }
}
